#include "tove/URLLoader.h"

#include <curl/curl.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "tove/CryptoLibrary.h"

namespace tove::URLLoader {
namespace {

struct Settings {
  std::mutex mutex;
  Timeouts timeouts;
  // The system store and the extra certificates in one PEM bundle: libcurl takes a single CA
  // file or blob per request, and the blob replaces the default file rather than adding to it.
  std::shared_ptr<const std::string> caBundle;
};

// Never destroyed: requests on worker threads may still be starting while the process exits.
Settings& settings() {
  static auto* shared = new Settings;
  return *shared;
}

struct Sink {
  const std::function<bool(std::string_view)>* consumer = nullptr;
  std::size_t received = 0;
  std::size_t maxBytes = 0;
};

std::size_t write(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  std::size_t bytes = size * count;
  // Returning short aborts the transfer the moment the body passes its limit, even when the
  // server sent no Content-Length (or a false one).
  if (bytes > sink->maxBytes - sink->received) return 0;
  sink->received += bytes;
  try {
    if (!(*sink->consumer)(std::string_view(data, bytes))) return 0;
  } catch (...) {
    return 0;  // an exception must not cross libcurl's C frames
  }
  return bytes;
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(out).str();
}

void initCurl() {
  static std::once_flag once;
  std::call_once(once, [] {
    initializeCryptoLibrary();
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

}  // namespace

std::optional<std::string> contentsOfURL(std::string_view url, const Limits& limits) noexcept {
  try {
    std::string body;
    // Most bodies come close to their limit, so one allocation up front saves the copies of
    // a growing buffer.
    if (limits.maxBytes <= (std::size_t{4} << 20)) body.reserve(limits.maxBytes);
    bool ok = streamURL(url, limits, [&body](std::string_view piece) {
      body.append(piece);
      return true;
    });
    if (!ok) return std::nullopt;
    return body;
  } catch (...) {
    return std::nullopt;
  }
}

bool streamURL(std::string_view url, const Limits& limits,
               const std::function<bool(std::string_view piece)>& consumer) noexcept {
  if (limits.maxBytes == 0 || !consumer) return false;
  try {
    initCurl();
    Timeouts limitsOfTime;
    std::shared_ptr<const std::string> bundle;
    {
      auto& current = settings();
      std::lock_guard lock(current.mutex);
      limitsOfTime = current.timeouts;
      bundle = current.caBundle;
    }

    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) return false;
    std::string target(url);
    Sink sink;
    sink.consumer = &consumer;
    sink.maxBytes = limits.maxBytes;

    CURL* h = curl.get();
    bool ok =
        curl_easy_setopt(h, CURLOPT_URL, target.c_str()) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, limitsOfTime.connectSeconds) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limitsOfTime.stallSeconds) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_TIMEOUT, limitsOfTime.totalSeconds) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes)) ==
            CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &write) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_USERAGENT, "Sparkler") == CURLE_OK;
    if (ok && bundle) {
      curl_blob blob{const_cast<char*>(bundle->data()), bundle->size(), CURL_BLOB_NOCOPY};
      ok = curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob) == CURLE_OK;
    }
    return ok && curl_easy_perform(h) == CURLE_OK;
  } catch (...) {
    return false;
  }
}

bool setExtraCAFile(const std::optional<std::filesystem::path>& path) {
  if (!path) {
    std::lock_guard lock(settings().mutex);
    settings().caBundle.reset();
    return true;
  }
  auto extra = readFile(*path);
  if (!extra || extra->empty()) return false;
  initCurl();
  std::string combined;
  const char* systemFile = curl_version_info(CURLVERSION_NOW)->cainfo;
  if (auto system = readFile(systemFile ? systemFile : "/etc/ssl/certs/ca-certificates.crt")) {
    combined = std::move(*system);
  }
  combined += '\n';
  combined += *extra;
  std::lock_guard lock(settings().mutex);
  settings().caBundle = std::make_shared<const std::string>(std::move(combined));
  return true;
}

void setTimeouts(const Timeouts& timeouts) noexcept {
  std::lock_guard lock(settings().mutex);
  settings().timeouts = timeouts;
}

Timeouts timeouts() noexcept {
  std::lock_guard lock(settings().mutex);
  return settings().timeouts;
}

}  // namespace tove::URLLoader

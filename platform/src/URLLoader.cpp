#include "sparkler/URLLoader.h"

#include <curl/curl.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "sparkler/CryptoLibrary.h"

namespace sparkler::URLLoader {
namespace {

struct Settings {
  std::mutex mutex;
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
  CURL* handle = nullptr;
  const std::function<bool(std::string_view)>* consumer = nullptr;
  std::size_t received = 0;
  std::size_t maxBytes = 0;
  // Why the write callback stopped the transfer; empty when it did not.
  std::string stopped;
};

std::string statusText(long status) {
  return "the server answered with HTTP status " + std::to_string(status);
}

std::string tooLong(std::size_t maxBytes) {
  return "the body is longer than " + std::to_string(maxBytes) + " bytes";
}

std::size_t write(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  std::size_t bytes = size * count;
  // Only a 200 answer carries the document: the body of a 300 without a Location, a 203 or
  // an error page must never pass for it. libcurl does not hand over the bodies of the
  // redirects it follows.
  long status = 0;
  if (curl_easy_getinfo(sink->handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
      status != 200) {
    sink->stopped = statusText(status);
    return 0;
  }
  // Returning short aborts the transfer the moment the body passes its limit, even when the
  // server sent no Content-Length (or a false one).
  if (bytes > sink->maxBytes - sink->received) {
    sink->stopped = tooLong(sink->maxBytes);
    return 0;
  }
  sink->received += bytes;
  try {
    if (!(*sink->consumer)(std::string_view(data, bytes))) {
      sink->stopped = "the receiver stopped the transfer";
      return 0;
    }
  } catch (...) {
    sink->stopped = "the receiver failed";
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

std::optional<std::string> contentsOfURL(std::string_view url, const Limits& limits,
                                         Result* result) noexcept {
  try {
    std::string body;
    // Most bodies come close to their limit, so one allocation up front saves the copies of
    // a growing buffer.
    if (limits.maxBytes <= (std::size_t{4} << 20)) body.reserve(limits.maxBytes);
    Result outcome = streamURL(url, limits, [&body](std::string_view piece) {
      body.append(piece);
      return true;
    });
    const bool ok = outcome.ok();
    if (result != nullptr) *result = std::move(outcome);
    if (!ok) return std::nullopt;
    return body;
  } catch (...) {
    if (result != nullptr) *result = Result{0, "out of memory"};
    return std::nullopt;
  }
}

Result streamURL(std::string_view url, const Limits& limits,
                 const std::function<bool(std::string_view piece)>& consumer) noexcept {
  if (limits.maxBytes == 0 || !consumer) return {0, "nothing may be received"};
  // libcurl reads a time limit of 0 as none at all.
  if (limits.total.count() <= 0) return {0, "no time is allowed"};
  try {
    initCurl();
    std::shared_ptr<const std::string> bundle;
    {
      auto& current = settings();
      std::lock_guard lock(current.mutex);
      bundle = current.caBundle;
    }

    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) return {0, "libcurl could not start a request"};
    std::string target(url);
    CURL* h = curl.get();
    Sink sink;
    sink.handle = h;
    sink.consumer = &consumer;
    sink.maxBytes = limits.maxBytes;
    char message[CURL_ERROR_SIZE] = {};
    const long connect = static_cast<long>(
        std::clamp(limits.connect, std::chrono::milliseconds(1), limits.total).count());

    bool ok = curl_easy_setopt(h, CURLOPT_URL, target.c_str()) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_ERRORBUFFER, message) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connect) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.total.count())) ==
                  CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                               static_cast<curl_off_t>(limits.maxBytes)) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &write) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_USERAGENT, "Sparkler") == CURLE_OK;
    if (ok && limits.stall.count() > 0 && limits.minimumBytesPerSecond > 0) {
      ok = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, limits.minimumBytesPerSecond) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.stall.count())) ==
               CURLE_OK;
    }
    if (ok && bundle) {
      curl_blob blob{const_cast<char*>(bundle->data()), bundle->size(), CURL_BLOB_NOCOPY};
      ok = curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob) == CURLE_OK;
    }
    if (!ok) return {0, "libcurl refused the request's settings"};

    const CURLcode code = curl_easy_perform(h);
    Result result;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
    if (code == CURLE_OK) {
      // A 300 without a Location, a 204 or an empty error page end without a body to refuse.
      if (result.status != 200) result.error = statusText(result.status);
    } else if (!sink.stopped.empty()) {
      result.error = std::move(sink.stopped);
    } else if (code == CURLE_FILESIZE_EXCEEDED) {
      result.error = tooLong(limits.maxBytes);
    } else {
      result.error = message[0] != '\0' ? message : curl_easy_strerror(code);
    }
    return result;
  } catch (...) {
    return {0, "out of memory"};
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

}  // namespace sparkler::URLLoader

#include "sparkler/URLLoader.h"

#include <curl/curl.h>
#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <utility>

#include "sparkler/CryptoLibrary.h"
#include "sparkler/FileDescriptor.h"
#include "sparkler/Files.h"
#include "sparkler/URLFetcher.h"

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
  // Only then may a 304 stand for the document.
  bool conditional = false;
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

// The validators of the answer being received; each new answer (after a redirect or an
// interim "100 Continue") starts afresh.
std::size_t header(char* data, std::size_t size, std::size_t count, void* user) {
  auto* validators = static_cast<Validators*>(user);
  const std::size_t bytes = size * count;
  std::string_view line(data, bytes);
  if (line.starts_with("HTTP/")) {
    *validators = {};
    return bytes;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return bytes;
  const auto name = line.substr(0, colon);
  auto value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ' ||
                            value.back() == '\t')) {
    value.remove_suffix(1);
  }
  const auto is = [name](std::string_view wanted) {
    return name.size() == wanted.size() &&
           std::equal(name.begin(), name.end(), wanted.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == b;
           });
  };
  try {
    if (is("etag")) {
      validators->entityTag = isUsableValidator(value) ? std::string(value) : std::string();
    } else if (is("last-modified")) {
      validators->lastModified = isUsableValidator(value) ? std::string(value) : std::string();
    }
  } catch (...) {
    return 0;  // an exception must not cross libcurl's C frames
  }
  return bytes;
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

// A CA file: followed like any file the app names, and bounded (the system's whole store is
// a few hundred kilobytes).
std::optional<std::string> readCAFile(const std::filesystem::path& path) {
  constexpr std::size_t kMaximumCAFileSize = std::size_t{16} << 20;
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return std::nullopt;
  return Files::readAll(file.get(), kMaximumCAFileSize);
}

void initCurl() {
  static std::once_flag once;
  std::call_once(once, [] {
    initializeCryptoLibrary();
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

}  // namespace

bool isUsableValidator(std::string_view value) noexcept {
  if (value.empty() || value.size() > kMaximumValidatorLength) return false;
  return std::none_of(value.begin(), value.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

std::optional<std::string> contentsOfURL(std::string_view url, const Limits& limits, Result* result,
                                         const Options& options) noexcept {
  return URLFetcher::standard()->contentsOfURL(url, limits, options, result);
}

Result streamURL(std::string_view url, const Limits& limits,
                 const std::function<bool(std::string_view piece)>& consumer,
                 const Options& options) noexcept {
  if (limits.maxBytes == 0 || !consumer) return Result::failure("nothing may be received");
  // libcurl reads a time limit of 0 as none at all.
  if (limits.total.count() <= 0) return Result::failure("no time is allowed");
  try {
    initCurl();
    std::shared_ptr<const std::string> bundle = options.caBundle;
    if (!bundle) {
      auto& current = settings();
      std::lock_guard lock(current.mutex);
      bundle = current.caBundle;
    }

    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) return Result::failure("libcurl could not start a request");
    std::string target(url);
    CURL* h = curl.get();
    Sink sink;
    sink.handle = h;
    sink.consumer = &consumer;
    sink.maxBytes = limits.maxBytes;
    Validators received;
    // Validators go out only when usable: a header must not carry a line break of its own.
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr,
                                                                        &curl_slist_free_all);
    const auto addHeader = [&headers](const std::string& line) {
      curl_slist* extended = curl_slist_append(headers.get(), line.c_str());
      if (extended == nullptr) return false;
      headers.release();
      headers.reset(extended);
      return true;
    };
    if (isUsableValidator(options.validators.entityTag) &&
        !addHeader("If-None-Match: " + options.validators.entityTag)) {
      return Result::failure("out of memory");
    }
    if (isUsableValidator(options.validators.lastModified) &&
        !addHeader("If-Modified-Since: " + options.validators.lastModified)) {
      return Result::failure("out of memory");
    }
    sink.conditional = headers != nullptr;
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
              curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &header) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_HEADERDATA, &received) == CURLE_OK &&
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
    if (ok && headers) ok = curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK;
    if (!ok) return Result::failure("libcurl refused the request's settings");

    const CURLcode code = curl_easy_perform(h);
    Result result;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
    long headerBytes = 0;
    curl_off_t bodyBytes = 0;
    if (curl_easy_getinfo(h, CURLINFO_HEADER_SIZE, &headerBytes) == CURLE_OK && headerBytes > 0) {
      result.bytesReceived += static_cast<std::uint64_t>(headerBytes);
    }
    if (curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &bodyBytes) == CURLE_OK && bodyBytes > 0) {
      result.bytesReceived += static_cast<std::uint64_t>(bodyBytes);
    }
    if (code == CURLE_OK) {
      if (result.status == 304 && sink.conditional) {
        result.notModified = true;
      } else if (result.status != 200) {
        // A 300 without a Location, a 204 or an empty error page end without a body to refuse.
        result.error = statusText(result.status);
      }
      if (result.ok()) result.validators = std::move(received);
    } else if (!sink.stopped.empty()) {
      result.error = std::move(sink.stopped);
    } else if (code == CURLE_FILESIZE_EXCEEDED) {
      result.error = tooLong(limits.maxBytes);
    } else {
      result.error = message[0] != '\0' ? message : curl_easy_strerror(code);
    }
    return result;
  } catch (...) {
    return Result::failure("out of memory");
  }
}

std::shared_ptr<const std::string> caBundleWithExtraFile(const std::filesystem::path& path) {
  auto extra = readCAFile(path);
  if (!extra || extra->empty()) return nullptr;
  initCurl();
  std::string combined;
  const char* systemFile = curl_version_info(CURLVERSION_NOW)->cainfo;
  if (auto system = readCAFile(systemFile ? systemFile : "/etc/ssl/certs/ca-certificates.crt")) {
    combined = std::move(*system);
  }
  combined += '\n';
  combined += *extra;
  return std::make_shared<const std::string>(std::move(combined));
}

namespace {

using URLHandle = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

// `url` parsed, when it is absolute with a host, and its path.
std::optional<std::pair<URLHandle, std::string>> parsedURL(std::string_view url) {
  URLHandle handle(curl_url(), curl_url_cleanup);
  if (!handle ||
      curl_url_set(handle.get(), CURLUPART_URL, std::string(url).c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  char* part = nullptr;
  if (curl_url_get(handle.get(), CURLUPART_HOST, &part, 0) != CURLUE_OK) return std::nullopt;
  curl_free(part);
  if (curl_url_get(handle.get(), CURLUPART_PATH, &part, 0) != CURLUE_OK) return std::nullopt;
  std::string path = part;
  curl_free(part);
  return std::pair{std::move(handle), std::move(path)};
}

// The URL of `handle` with `path`, without a fragment, and without a query unless `keepQuery`.
std::optional<std::string> withPath(CURLU* handle, const std::string& path, bool keepQuery) {
  char* part = nullptr;
  if (curl_url_set(handle, CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK ||
      (!keepQuery && curl_url_set(handle, CURLUPART_QUERY, nullptr, 0) != CURLUE_OK) ||
      curl_url_set(handle, CURLUPART_FRAGMENT, nullptr, 0) != CURLUE_OK ||
      curl_url_get(handle, CURLUPART_URL, &part, 0) != CURLUE_OK) {
    return std::nullopt;
  }
  std::string result = part;
  curl_free(part);
  return result;
}

}  // namespace

std::optional<std::string> siblingURL(std::string_view url, std::string_view name) {
  if (name.empty()) return std::nullopt;
  auto parsed = parsedURL(url);
  if (!parsed) return std::nullopt;
  std::string& path = parsed->second;
  // The folder of the last component, as a path: "/a/b/" and "/a/b" both give "/a/".
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  path.erase(path.rfind('/') + 1);
  auto result = withPath(parsed->first.get(), path, false);
  if (!result) return std::nullopt;
  // The name is one segment: unreserved characters stay as they are, every other byte is
  // percent-encoded (as curl writes it, in capitals), "/" and "?" included.
  char* escaped = curl_easy_escape(nullptr, name.data(), static_cast<int>(name.size()));
  if (escaped == nullptr) return std::nullopt;
  *result += escaped;
  curl_free(escaped);
  return result;
}

std::optional<std::string> withPathSuffix(std::string_view url, std::string_view suffix) {
  if (suffix.empty()) return std::nullopt;
  auto parsed = parsedURL(url);
  if (!parsed) return std::nullopt;
  return withPath(parsed->first.get(), parsed->second + std::string(suffix), true);
}

bool setExtraCAFile(const std::optional<std::filesystem::path>& path) {
  std::shared_ptr<const std::string> bundle;
  if (path) {
    bundle = caBundleWithExtraFile(*path);
    if (!bundle) return false;
  }
  std::lock_guard lock(settings().mutex);
  settings().caBundle = std::move(bundle);
  return true;
}

}  // namespace sparkler::URLLoader

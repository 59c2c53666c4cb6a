#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sparkler::URLLoader {

/// What one request may take. A response body longer than `maxBytes` aborts it; so does a
/// request still running `total` after it started, a connection not made within `connect`,
/// or a transfer slower than `minimumBytesPerSecond` for `stall`.
struct Limits {
  std::size_t maxBytes = 0;
  std::chrono::milliseconds total = std::chrono::seconds(60);
  std::chrono::milliseconds connect = std::chrono::seconds(30);
  std::chrono::seconds stall = std::chrono::seconds(60);
  long minimumBytesPerSecond = 1;
};

/// What became of one request.
struct Result {
  /// The HTTP status of the last response received (after redirects); 0 when none came.
  long status = 0;
  /// Why the request failed, in words (curl's own message, the HTTP status, the limit that
  /// stopped it); empty exactly when the request succeeded.
  std::string error;

  bool ok() const noexcept { return error.empty(); }
};

/// The whole body of an https URL, fetched on the calling thread (it blocks). nullopt when
/// the URL is not https, the connection or TLS verification fails, a redirect leads to
/// anything but https, the final answer is not "200 OK", a limit is hit, or the body exceeds
/// `limits.maxBytes`; nullopt without a request when `maxBytes` is 0. `result`, when given,
/// receives the status and the cause of a failure.
std::optional<std::string> contentsOfURL(std::string_view url, const Limits& limits,
                                         Result* result = nullptr) noexcept;

/// Hands the body of an https URL to `sink` piece by piece as it arrives (the same rules
/// and limits as contentsOfURL; only a "200 OK" body reaches `sink`); `sink` returns false to
/// abort. The result says why the request failed, an abort by `sink` included.
Result streamURL(std::string_view url, const Limits& limits,
                 const std::function<bool(std::string_view piece)>& sink) noexcept;

/// Trusts the certificates in the PEM file `path` in addition to the system's CA store, for
/// every later request; nullopt trusts the system store alone. false when the file cannot be
/// read (the setting is then unchanged).
bool setExtraCAFile(const std::optional<std::filesystem::path>& path);

}  // namespace sparkler::URLLoader

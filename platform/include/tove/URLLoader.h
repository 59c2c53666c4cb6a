#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tove::URLLoader {

/// What one request may take: a response body longer than `maxBytes` aborts it.
struct Limits {
  std::size_t maxBytes = 0;
};

/// Process-wide time limits. A transfer that receives no byte for `stallSeconds` fails;
/// `totalSeconds` bounds the whole request.
struct Timeouts {
  long connectSeconds = 30;
  long stallSeconds = 60;
  long totalSeconds = 3600;
};

/// The whole body of an https URL, fetched on the calling thread (it blocks). nullopt when
/// the URL is not https, the connection or TLS verification fails, a redirect leads to
/// anything but https, the server answers with an HTTP error status, a time limit is hit, or
/// the body exceeds `limits.maxBytes`; nullopt without a request when `maxBytes` is 0.
std::optional<std::string> contentsOfURL(std::string_view url, const Limits& limits) noexcept;

/// Hands the body of an https URL to `sink` piece by piece as it arrives (the same rules
/// and limits as contentsOfURL); `sink` returns false to abort. false on any failure or abort.
bool streamURL(std::string_view url, const Limits& limits,
               const std::function<bool(std::string_view piece)>& sink) noexcept;

/// Trusts the certificates in the PEM file `path` in addition to the system's CA store, for
/// every later request; nullopt trusts the system store alone. false when the file cannot be
/// read (the setting is then unchanged).
bool setExtraCAFile(const std::optional<std::filesystem::path>& path);

/// Replaces the process-wide time limits (tests shorten them).
void setTimeouts(const Timeouts& timeouts) noexcept;

/// The current process-wide time limits.
Timeouts timeouts() noexcept;

}  // namespace tove::URLLoader

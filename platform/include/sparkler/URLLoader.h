#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
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

/// Validators are server text: longer ones are neither kept nor sent.
inline constexpr std::size_t kMaximumValidatorLength = 1024;

/// What identifies the version of a document a server sent (its "ETag" and "Last-Modified"),
/// so that a later request can ask for it only when it has changed. Empty when absent.
struct Validators {
  std::string entityTag{};
  std::string lastModified{};

  bool empty() const noexcept { return entityTag.empty() && lastModified.empty(); }
  bool operator==(const Validators&) const = default;
};

/// Whether `value` may be kept and sent back as a validator: not empty, at most
/// kMaximumValidatorLength bytes, and free of control characters (which could end a header
/// line and start another).
bool isUsableValidator(std::string_view value) noexcept;

/// What a request carries besides its URL.
struct Options {
  /// Sent as "If-None-Match" and "If-Modified-Since" (each only when usable); a "304 Not
  /// Modified" answer then succeeds with Result::notModified and no body.
  Validators validators{};
  /// PEM certificates trusted instead of the process-wide choice (see setExtraCAFile);
  /// nullptr: that choice.
  std::shared_ptr<const std::string> caBundle{};
};

/// What became of one request.
struct Result {
  /// The HTTP status of the last response received (after redirects); 0 when none came.
  long status = 0;
  /// Why the request failed, in words (curl's own message, the HTTP status, the limit that
  /// stopped it); empty exactly when the request succeeded.
  std::string error;
  /// The server answered "304 Not Modified" to a request that sent validators: the document
  /// is the one those validators name, and no body came.
  bool notModified = false;
  /// The usable validators of the final answer (of a 200 or a 304); empty when it had none.
  Validators validators;
  /// Bytes received from the server: the headers of every answer and the body.
  std::uint64_t bytesReceived = 0;

  bool ok() const noexcept { return error.empty(); }

  /// A request that failed before any answer came, for `error`.
  static Result failure(std::string error) {
    Result result;
    result.error = std::move(error);
    return result;
  }
};

/// The whole body of an https URL, fetched on the calling thread (it blocks). nullopt when
/// the URL is not https, the connection or TLS verification fails, a redirect leads to
/// anything but https, the final answer is not "200 OK", a limit is hit, or the body exceeds
/// `limits.maxBytes`; nullopt without a request when `maxBytes` is 0. An empty body when the
/// server answered "304 Not Modified" to `options.validators`. `result`, when given, receives
/// the status, the validators and the cause of a failure.
std::optional<std::string> contentsOfURL(std::string_view url, const Limits& limits,
                                         Result* result = nullptr,
                                         const Options& options = {}) noexcept;

/// Hands the body of an https URL to `sink` piece by piece as it arrives (the same rules
/// and limits as contentsOfURL; only a "200 OK" body reaches `sink`); `sink` returns false to
/// abort. The result says why the request failed, an abort by `sink` included.
Result streamURL(std::string_view url, const Limits& limits,
                 const std::function<bool(std::string_view piece)>& sink,
                 const Options& options = {}) noexcept;

/// The system's CA store and the certificates of the PEM file `path`, as one PEM text for
/// Options::caBundle; nullptr when the file cannot be read or is empty.
std::shared_ptr<const std::string> caBundleWithExtraFile(const std::filesystem::path& path);

/// The URL of the file `name` in the same folder as `url`: the last path component of `url`
/// (and any query or fragment) replaced by `name`, percent-encoded as one path segment. A
/// trailing "/" does not count as a component ("https://h/a/b/" gives "https://h/a/<name>").
/// nullopt when `url` is not an absolute URL with a host, or `name` is empty.
std::optional<std::string> siblingURL(std::string_view url, std::string_view name);

/// `url` with `suffix` appended to its path ("https://h/a/_.json?v=1" and ".sig" give
/// "https://h/a/_.json.sig?v=1"): the query stays, a fragment is dropped. `suffix` is taken as
/// it is, so it must hold only characters a path may hold. nullopt when `url` is not an
/// absolute URL with a host, or `suffix` is empty.
std::optional<std::string> withPathSuffix(std::string_view url, std::string_view suffix);

/// Trusts the certificates in the PEM file `path` in addition to the system's CA store, for
/// every later request; nullopt trusts the system store alone. false when the file cannot be
/// read (the setting is then unchanged).
bool setExtraCAFile(const std::optional<std::filesystem::path>& path);

}  // namespace sparkler::URLLoader

#pragma once

#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace sparkler {

/// Why a check, a download or an installation failed; codes of sparklerCategory(), whose
/// name is "sparkler".
enum class SparklerErrc {
  manifestUnreachable = 1,  // the manifest could not be fetched (network, TLS, status, limits)
  manifestUnreadable,       // its body is not a non-empty list of updates
  noCurrentVersion,         // the running bundle has no readable version
  newestEntryInvalid,       // the newest entry's version, name, hash or size is unusable
  imageUnreachable,         // the image could not be fetched
  imageMismatch,            // the image fetched or cached does not match its size or digest
  cacheNotWritable,         // no cache folder, or the image cannot be stored in it
  noUpdateAvailable,        // an installation was asked for with no verified update
  attachFailed,             // installation: the image could not be attached
  itemRefused,              // installation: the image does not hold a usable "<name>.app/Contents"
  contentsRefused,          // installation: the new contents are not the app that was offered
  replaceFailed,            // installation: the copy or the swap failed
  stalled,                  // installation: the image stopped responding
  unusableConfiguration,    // the updater cannot work with what it was given
  outOfMemory,              // the work could not get the memory it needed
  signatureMissing,         // keys are trusted, but the manifest's signature file cannot be had
  signatureInvalid,         // the signature file is malformed, or does not verify for the manifest
  signatureExpired,         // a trusted key signed the manifest, but the signature has expired
  signatureUntrusted,       // the manifest is signed, but by none of the trusted keys
};

/// The category of SparklerErrc codes.
const std::error_category& sparklerCategory() noexcept;

/// `errc` as a code of sparklerCategory().
std::error_code make_error_code(SparklerErrc errc) noexcept;

/// A stable name for `code` in text meant for programs ("manifest-unreachable", ...); the
/// category's name and the number for codes of other categories.
std::string errorCodeName(const std::error_code& code);

/// A failure and its readable cause, the text the log line gives.
struct SparklerError {
  std::error_code code;
  std::string message;
};

}  // namespace sparkler

template <>
struct std::is_error_code_enum<sparkler::SparklerErrc> : std::true_type {};

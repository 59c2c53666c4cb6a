#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sparkler/ManifestSignature.h"

// What `sign` and `publish` share: the signing options and the signature file they write.

/// --key KEYFILE (repeatable), --expires-in DAYS, --expires-at YYYY-MM-DDTHH:MM:SSZ.
struct SigningOptions {
  std::vector<std::string> keyFiles;
  std::optional<std::string> expiresIn;
  std::optional<std::string> expiresAt;

  /// Whether `option` is one of these.
  static bool accepts(std::string_view option);
  /// Whether `option` is one of these; when it is, `value` is recorded for it.
  bool take(std::string_view option, const std::string& value);
};

/// The keys and expiry a manifest is signed with.
struct ManifestSigner {
  std::vector<std::shared_ptr<sparkler::ManifestSignature::SigningKey>> keys;
  std::int64_t expires = 0;

  /// The keys of `options` loaded and the expiry reckoned from `now` (30 days unless
  /// given); nullopt with `reason` when a key file cannot be read, the expiry is malformed or
  /// not in the future, or there are no keys or more than a signature file holds.
  static std::optional<ManifestSigner> prepare(const SigningOptions& options, std::int64_t now,
                                               std::string* reason);

  /// The signature file for exactly `manifest`'s bytes; nullopt with `reason` when the
  /// manifest is one the updater would not read (too large, or no list of updates).
  std::optional<std::string> sign(std::string_view manifest, std::string* reason) const;

  /// "on <expiry> with <key>, <key>" for the line a command prints.
  std::string describe() const;
};

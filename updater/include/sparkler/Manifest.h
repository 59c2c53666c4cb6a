#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "sparkler/Version.h"

// Reading an update manifest and its entries: pure functions over text and JSON values, with
// no disk or network access, so that anything a server sends can be tried against them.
//
// A manifest is a JSON array of update entries, oldest first. An entry is an object with
// "version" (string), "name" (string: the image's file name, on the server beside the
// manifest and in the cache folder), "hash" (string: MD5 in 32 lowercase hex digits) and
// "size" (number: bytes), and may have "sha256" (string: SHA-256 in 64 lowercase hex digits);
// other keys are kept and ignored.
namespace sparkler::Manifest {

/// Manifests larger than this are not read.
inline constexpr std::size_t kMaximumSize = 1 << 20;
/// Arrays and objects nested deeper than this make a manifest unreadable. An entry needs a
/// depth of 2 (the manifest's array, the entry object); the room above is for keys of a
/// maker's own, and the bound keeps every walk over a manifest short and shallow.
inline constexpr std::size_t kMaximumDepth = 32;
/// Images larger than this are accepted only by an updater configured for them.
inline constexpr std::uint64_t kMaximumImageSize = 50'000'000;
/// Entries are shortened to this many bytes when they are written to the log.
inline constexpr std::size_t kDescriptionBytes = 4096;

/// `text` parsed as one JSON document when it is one and nests arrays and objects at most
/// `maximumDepth` deep, which is checked while it is read, before any tree is built; nullopt
/// with `reason` (when given) set to why otherwise. Throws only std::bad_alloc.
std::optional<nlohmann::json> parseBounded(std::string_view text, std::size_t maximumDepth,
                                           std::string* reason);

/// The entries of a manifest body: a non-empty JSON array, at most kMaximumSize bytes, nested
/// at most kMaximumDepth deep, whose newest (last) entry is an object with the documented
/// types for the keys it has. nullopt with `reason` (when given) set to why otherwise.
std::optional<nlohmann::json> read(std::string_view body, std::string* reason) noexcept;

/// `entry` as text for a log line, at most `maxBytes` long: what nlohmann::json's dump(2)
/// writes (invalid UTF-8 replaced), shortened with "… (N more bytes)" when it is longer, which
/// `shortened` (when given) tells. Walks the value without recursion, so any depth is safe.
/// Empty when out of memory.
std::string describe(const nlohmann::json& entry, std::size_t maxBytes,
                     bool* shortened = nullptr) noexcept;

/// The fields of an entry that passed the entry checks.
struct Entry {
  std::string name;
  std::string hash;
  std::uint64_t size = 0;
  /// "sha256" when it is 64 lowercase hexadecimal digits; empty otherwise.
  std::string sha256;
};

/// The entry checks that come before any disk or network access, in order: `entry` is an
/// object with at least one key, "name" a plain file name, "hash" a non-empty string, "size"
/// a whole number from 1 to `maximumImageSize`, and, when `requireSHA256`, "sha256" 64
/// lowercase hexadecimal digits. nullopt with `reason` (when given) set to the first check
/// that failed.
std::optional<Entry> checkedEntry(const nlohmann::json& entry, std::string* reason,
                                  std::uint64_t maximumImageSize = kMaximumImageSize,
                                  bool requireSHA256 = false) noexcept;

/// The version of `entry` ("version" read with Version::versionWithString); nullopt when it
/// is not an object with such a string.
std::optional<Version> versionOf(const nlohmann::json& entry) noexcept;

/// Whether `name` is one plain file name (not empty, ".", ".." nor longer than 255 bytes,
/// and free of "/" and NUL).
bool isPlainFileName(std::string_view name) noexcept;

/// `text` cut to at most `maxBytes` bytes (at a UTF-8 character boundary) and marked with
/// "…" when it was longer, for quoting text that came from the network in a log line; empty
/// when out of memory. Control characters, line separators and bytes that are not UTF-8 are
/// written as escapes (\n, \u2028, \xff), so that the quote stays on the line quoting it.
std::string excerpt(std::string_view text, std::size_t maxBytes = 64) noexcept;

}  // namespace sparkler::Manifest

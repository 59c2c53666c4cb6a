#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sparkler::detail {

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
struct Utf8Scan {
  std::size_t completeLength = 0;  // bytes made of whole, valid sequences
  bool invalid = false;            // the rest is not the start of a valid sequence
};

// Scans `bytes`; what follows `completeLength` is either an incomplete sequence cut off by
// the end of the data (invalid false) or a genuine error (invalid true).
Utf8Scan scanUtf8(std::string_view bytes) noexcept;

inline bool isValidUtf8(std::string_view bytes) noexcept {
  return scanUtf8(bytes).completeLength == bytes.size();
}

// Strips white space and line breaks (categories Z*, U+000A-U+000D, U+0085) from both ends
// of valid UTF-8 text.
std::string_view trimmedUtf8(std::string_view text) noexcept;

}  // namespace sparkler::detail

#pragma once

#include <cstddef>
#include <string_view>

namespace sparkler::Utf8 {

/// How much of some bytes is strict UTF-8 (no overlong forms, no surrogates, nothing above
/// U+10FFFF).
struct Scan {
  std::size_t completeLength = 0;  // bytes made of whole, valid sequences
  bool invalid = false;            // the rest is not the start of a valid sequence
};

/// Scans `bytes`; what follows `completeLength` is either an incomplete sequence cut off by
/// the end of the data (invalid false) or a genuine error (invalid true).
Scan scan(std::string_view bytes) noexcept;

/// The length of the strict UTF-8 sequence at `at` in `text`, with its code point in
/// `codePoint`; 0 when the bytes there are not one (or `at` is past the end).
std::size_t decodeAt(std::string_view text, std::size_t at, char32_t& codePoint) noexcept;

/// Whether all of `bytes` is strict UTF-8.
inline bool isValid(std::string_view bytes) noexcept {
  return scan(bytes).completeLength == bytes.size();
}

/// `text` (valid UTF-8) without white space and line breaks (categories Z*, U+000A-U+000D
/// and U+0085) at either end.
std::string_view trimmed(std::string_view text) noexcept;

/// The length of `text` without the space separators (category Zs) at its end; an invalid
/// sequence counts as no space.
std::size_t lengthWithoutTrailingSpace(std::string_view text) noexcept;

/// `index`, moved back to the start of the UTF-8 sequence it falls inside (at most
/// `text.size()`).
std::size_t boundaryAtOrBefore(std::string_view text, std::size_t index) noexcept;

/// Whether `codePoint` is a control character (C0, DEL, C1) or the line or paragraph
/// separator: shown as it is, it would end the line showing it or drive the terminal.
constexpr bool isControlOrLineBreak(char32_t codePoint) noexcept {
  return codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0) || codePoint == 0x2028 ||
         codePoint == 0x2029;
}

}  // namespace sparkler::Utf8

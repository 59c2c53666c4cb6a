#include "sparkler/Utf8.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace sparkler::Utf8 {
namespace {

const uint8_t* bytesOf(std::string_view text) noexcept {
  return reinterpret_cast<const uint8_t*>(text.data());
}

bool isWhiteSpaceOrLineBreak(char32_t c) noexcept {
  if ((c >= 0x0A && c <= 0x0D) || c == 0x85) return true;
  if (c < 0x80 && c != 0x20) return false;
  const auto type = u_charType(static_cast<UChar32>(c));
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

}  // namespace

Scan scan(std::string_view bytes) noexcept {
  const uint8_t* const data = bytesOf(bytes);
  const std::size_t size = bytes.size();
  std::size_t at = 0;
  while (at < size) {
    // Most output is ASCII: skip it a word at a time.
    while (size - at >= 8) {
      std::uint64_t word;
      std::memcpy(&word, data + at, sizeof word);
      if (word & 0x8080808080808080ULL) break;
      at += 8;
    }
    if (at == size) break;
    if (data[at] < 0x80) {
      ++at;
      continue;
    }
    // ICU's strict decoding; a piece longer than int32_t is decoded a window at a time.
    const std::size_t window = std::min<std::size_t>(size - at, 4);
    int32_t i = 0;
    UChar32 c = 0;
    U8_NEXT(data + at, i, static_cast<int32_t>(window), c);
    if (c < 0) {
      // ICU skips the longest valid start of a sequence: all that is left, when the end cut
      // off a sequence that began with a valid lead byte.
      const bool incomplete = U8_IS_LEAD(data[at]) && at + static_cast<std::size_t>(i) == size;
      return {at, !incomplete};
    }
    at += static_cast<std::size_t>(i);
  }
  return {size, false};
}

std::size_t decodeAt(std::string_view text, std::size_t at, char32_t& codePoint) noexcept {
  if (at >= text.size()) return 0;
  const int32_t window = static_cast<int32_t>(std::min<std::size_t>(text.size() - at, 4));
  int32_t i = 0;
  UChar32 c = 0;
  U8_NEXT(bytesOf(text) + at, i, window, c);
  if (c < 0) return 0;
  codePoint = static_cast<char32_t>(c);
  return static_cast<std::size_t>(i);
}

std::string_view trimmed(std::string_view text) noexcept {
  // Indices are size_t: output may be longer than ICU's int32_t offsets reach.
  const uint8_t* const data = bytesOf(text);
  std::size_t first = 0;
  while (first < text.size()) {
    std::size_t next = first;
    UChar32 c = 0;
    U8_NEXT_UNSAFE(data, next, c);
    if (!isWhiteSpaceOrLineBreak(static_cast<char32_t>(c))) break;
    first = next;
  }
  std::size_t last = text.size();
  while (last > first) {
    std::size_t previous = last;
    UChar32 c = 0;
    U8_PREV_UNSAFE(data, previous, c);
    if (!isWhiteSpaceOrLineBreak(static_cast<char32_t>(c))) break;
    last = previous;
  }
  return text.substr(first, last - first);
}

std::size_t lengthWithoutTrailingSpace(std::string_view text) noexcept {
  std::size_t last = text.size();
  while (last > 0) {
    const std::size_t start = boundaryAtOrBefore(text, last - 1);
    char32_t c = 0;
    if (decodeAt(text, start, c) != last - start ||
        u_charType(static_cast<UChar32>(c)) != U_SPACE_SEPARATOR) {
      break;
    }
    last = start;
  }
  return last;
}

std::size_t boundaryAtOrBefore(std::string_view text, std::size_t index) noexcept {
  if (index >= text.size()) return text.size();
  while (index > 0 && U8_IS_TRAIL(static_cast<uint8_t>(text[index]))) --index;
  return index;
}

}  // namespace sparkler::Utf8

#include "Utf8Text.h"

#include <unicode/uchar.h>

#include <cstdint>
#include <cstring>

namespace sparkler::detail {

namespace {

// Length of the valid sequence starting at `p`, 0 when the bytes there are not (or not yet)
// one; `incomplete` tells a sequence cut off by `end` from a wrong one.
std::size_t sequenceLength(const unsigned char* p, const unsigned char* end,
                           bool& incomplete) noexcept {
  incomplete = false;
  const unsigned char lead = p[0];
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (p + i >= end) {
      incomplete = true;
      return 0;
    }
    const unsigned char next = p[i];
    const unsigned char min = i == 1 ? low : 0x80;
    const unsigned char max = i == 1 ? high : 0xBF;
    if (next < min || next > max) return 0;
  }
  return length;
}

// Decodes the code point that ends just before `end` in valid UTF-8 text starting at `begin`.
char32_t lastCodePoint(const unsigned char* begin, const unsigned char*& end) noexcept {
  const unsigned char* p = end - 1;
  while (p > begin && (*p & 0xC0) == 0x80) --p;
  char32_t value = *p;
  const std::size_t length = static_cast<std::size_t>(end - p);
  if (length > 1) {
    value &= 0x7F >> length;
    for (const unsigned char* q = p + 1; q < end; ++q) value = (value << 6) | (*q & 0x3F);
  }
  end = p;
  return value;
}

char32_t firstCodePoint(const unsigned char*& p) noexcept {
  char32_t value = *p;
  std::size_t length = 1;
  if (value >= 0xF0) {
    length = 4;
  } else if (value >= 0xE0) {
    length = 3;
  } else if (value >= 0xC0) {
    length = 2;
  }
  if (length > 1) {
    value &= 0x7F >> length;
    for (std::size_t i = 1; i < length; ++i) value = (value << 6) | (p[i] & 0x3F);
  }
  p += length;
  return value;
}

bool isTrimmed(char32_t c) noexcept {
  if ((c >= 0x0A && c <= 0x0D) || c == 0x85) return true;
  if (c < 0x80 && c != 0x20) return false;
  const auto type = u_charType(static_cast<UChar32>(c));
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

}  // namespace

Utf8Scan scanUtf8(std::string_view bytes) noexcept {
  const auto* const begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = begin + bytes.size();
  const auto* p = begin;
  while (p < end) {
    // Most output is ASCII: skip it a word at a time.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if (word & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p == end) break;
    if (*p < 0x80) {
      ++p;
      continue;
    }
    bool incomplete = false;
    const std::size_t length = sequenceLength(p, end, incomplete);
    if (length == 0) return {static_cast<std::size_t>(p - begin), !incomplete};
    p += length;
  }
  return {bytes.size(), false};
}

std::string_view trimmedUtf8(std::string_view text) noexcept {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* first = begin;
  const auto* last = begin + text.size();
  while (first < last) {
    const auto* next = first;
    if (!isTrimmed(firstCodePoint(next))) break;
    first = next;
  }
  while (last > first) {
    const auto* previous = last;
    if (!isTrimmed(lastCodePoint(first, previous))) break;
    last = previous;
  }
  return text.substr(static_cast<std::size_t>(first - begin),
                     static_cast<std::size_t>(last - first));
}

}  // namespace sparkler::detail

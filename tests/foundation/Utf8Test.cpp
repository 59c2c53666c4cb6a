#include "sparkler/Utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace sparkler {
namespace {

// Output arrives in pieces: a sequence cut off by the end of one must be told from bytes that
// can never become text.
TEST(Utf8, TellsSequencesCutOffByTheEndFromInvalidOnes) {
  struct Case {
    std::string bytes;
    std::size_t complete;
    bool invalid;
  };
  const Case cases[] = {
      {"plain ascii, longer than a word", 31, false},
      {"\xf0\x9f\x99\x82 \xc3\xa9", 7, false},
      {"ok\xe2\x82", 2, false},
      {"a\xf0\x9f\x99", 1, false},
      {"\xc2", 0, false},
      {"1.2.3\xff\xfe", 5, true},
      {"\xff", 0, true},
      {"\xc0\xaf", 0, true},          // overlong
      {"\xe0\x9f\xbf", 0, true},      // overlong
      {"\xed\xa0\x80", 0, true},      // surrogate
      {"\xf4\x90\x80\x80", 0, true},  // above U+10FFFF
      {"\xf4\x90", 0, true},
      {"\xe2\x82x", 0, true},
  };
  for (const auto& [bytes, complete, invalid] : cases) {
    const auto scan = Utf8::scan(bytes);
    EXPECT_EQ(scan.completeLength, complete) << bytes;
    EXPECT_EQ(scan.invalid, invalid) << bytes;
    EXPECT_EQ(Utf8::isValid(bytes), complete == bytes.size()) << bytes;
  }
}

TEST(Utf8, TrimsWhiteSpaceAndLineBreaksAndCutsAtCharacterBoundaries) {
  EXPECT_EQ(Utf8::trimmed("\r\n a \t b \n\n"), "a \t b");
  EXPECT_EQ(Utf8::trimmed("\u3000\u00a0\u2029x\u2028\u0085"), "x");
  EXPECT_EQ(Utf8::trimmed(" \n "), "");
  // Only space separators end a name; an invalid byte is kept.
  EXPECT_EQ(Utf8::lengthWithoutTrailingSpace("a\u3000 \u00a0"), 1u);
  EXPECT_EQ(Utf8::lengthWithoutTrailingSpace("a\n\xff "), 3u);
  const std::string e = "\xc3\xa9\xc3\xa9";
  EXPECT_EQ(Utf8::boundaryAtOrBefore(e, 3), 2u);
  EXPECT_EQ(Utf8::boundaryAtOrBefore(e, 2), 2u);
  EXPECT_EQ(Utf8::boundaryAtOrBefore(e, 9), 4u);
  char32_t c = 0;
  EXPECT_EQ(Utf8::decodeAt(e, 2, c), 2u);
  EXPECT_EQ(c, U'\u00e9');
  EXPECT_EQ(Utf8::decodeAt(e, 1, c), 0u);
}

}  // namespace
}  // namespace sparkler

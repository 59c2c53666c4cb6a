#include "sparkler/Number.h"

#include <gtest/gtest.h>

#include <unicode/locid.h>

namespace sparkler {
namespace {

constexpr std::uint64_t kMax = 18446744073709551615u;

using Value = std::variant<std::uint64_t, std::int64_t, double>;

std::optional<Value> read(std::optional<std::string_view> text) {
  const auto number = Number::numberWithString(text);
  return number ? std::optional(number->value()) : std::nullopt;
}

TEST(Number, ReadsHexWithEitherPrefixCaseAndWholeDecimalTextExactlyAndNarrowsToLowBits) {
  for (const char* text : {"0x1F", "0X1f", "0x1Fzz", "0031"}) {
    EXPECT_EQ(read(text), Value(std::uint64_t{31})) << text;
  }
  for (const char* text : {"0xFFFFFFFFFFFFFFFF", "18446744073709551615"}) {
    EXPECT_EQ(read(text), Value(kMax)) << text;
  }
  // 2^53 + 1, which a double would round.
  EXPECT_EQ(read("9007199254740993"), Value(std::uint64_t{9007199254740993u}));
  EXPECT_EQ(read("-5"), Value(std::int64_t{-5}));
  EXPECT_EQ(read("2.5"), Value(2.5));
  for (const char* text : {"0x", "0xg1", "0x10000000000000000", "", "abc", "12abc"}) {
    EXPECT_FALSE(read(text)) << text;
  }
  EXPECT_FALSE(read(std::nullopt));
  // Narrowing keeps the low bits rather than clamping.
  EXPECT_EQ(Number::withUInt64(4294967301u).UInt32Value(), 5u);
  EXPECT_EQ(Number::withUInt64(70000).UInt16Value(), 4464u);
}

TEST(Number, GroupsThreeDigitsWithCommasInEveryLocale) {
  // German groups with ".", Indian English by two after the first three, Polish leaves
  // four digits ungrouped; none of that may show here.
  const std::pair<Number, const char*> cases[] = {
      {Number::withUInt64(999), "999"},
      {Number::withUInt64(1000), "1,000"},
      {Number::withUInt64(123456789), "123,456,789"},
      {Number::withUInt64(kMax), "18,446,744,073,709,551,615"},
      {Number::withInt64(-1234567), "-1,234,567"},
      {Number::withDouble(1234.4), "1,234"}};
  const icu::Locale original = icu::Locale::getDefault();
  for (const char* locale : {"en_US", "de_DE", "en_IN", "pl_PL"}) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(locale), status);
    for (const auto& [number, text] : cases) {
      EXPECT_EQ(number.integerDescriptionWithCommaSeparators(), text) << locale;
    }
  }
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(original, status);
}

}  // namespace
}  // namespace sparkler

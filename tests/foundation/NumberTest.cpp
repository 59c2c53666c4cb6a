#include "tove/Number.h"

#include <gtest/gtest.h>

#include <unicode/locid.h>

namespace tove {
namespace {

TEST(NumberFromText, ReadsHexWithEitherPrefixCase) {
  for (const char* text : {"0x1F", "0X1F", "0x1f", "0x1Fzz"}) {
    const auto number = Number::numberWithString(std::string_view(text));
    ASSERT_TRUE(number) << text;
    EXPECT_EQ(number->UInt64Value(), 31u) << text;
  }
  EXPECT_EQ(Number::numberWithString(std::string_view("0xFFFFFFFFFFFFFFFF"))->UInt64Value(),
            18446744073709551615u);
}

TEST(NumberFromText, RefusesHexWithoutDigitsOrBeyondSixtyFourBits) {
  EXPECT_FALSE(Number::numberWithString(std::string_view("0x")));
  EXPECT_FALSE(Number::numberWithString(std::string_view("0xg1")));
  EXPECT_FALSE(Number::numberWithString(std::string_view("0x10000000000000000")));
}

TEST(NumberFromText, ReadsWholeDecimalTextExactly) {
  EXPECT_EQ(Number::numberWithString(std::string_view("42"))->UInt64Value(), 42u);
  EXPECT_EQ(Number::numberWithString(std::string_view("0042"))->UInt64Value(), 42u);
  // Beyond 2^53 a double would lose the last digits.
  const auto largest = Number::numberWithString(std::string_view("18446744073709551615"));
  ASSERT_TRUE(largest);
  EXPECT_EQ(
      largest->value(),
      (std::variant<std::uint64_t, std::int64_t, double>(std::uint64_t{18446744073709551615u})));
  const auto below = Number::numberWithString(std::string_view("9007199254740993"));
  ASSERT_TRUE(below);
  EXPECT_EQ(below->UInt64Value(), 9007199254740993u);
  const auto negative = Number::numberWithString(std::string_view("-5"));
  ASSERT_TRUE(negative);
  EXPECT_EQ(std::get<std::int64_t>(negative->value()), -5);
  const auto fraction = Number::numberWithString(std::string_view("2.5"));
  ASSERT_TRUE(fraction);
  EXPECT_DOUBLE_EQ(std::get<double>(fraction->value()), 2.5);
}

TEST(NumberFromText, RefusesTextThatIsNotWhollyANumber) {
  EXPECT_FALSE(Number::numberWithString(std::nullopt));
  EXPECT_FALSE(Number::numberWithString(std::string_view("")));
  EXPECT_FALSE(Number::numberWithString(std::string_view("abc")));
  EXPECT_FALSE(Number::numberWithString(std::string_view("12abc")));
}

struct CommaCase {
  Number number;
  const char* text;
};

class NumberCommas : public testing::TestWithParam<CommaCase> {};

TEST_P(NumberCommas, GroupsThreeDigitsWithCommas) {
  EXPECT_EQ(GetParam().number.integerDescriptionWithCommaSeparators(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Table, NumberCommas,
                         testing::Values(CommaCase{Number::withUInt64(999), "999"},
                                         CommaCase{Number::withUInt64(1000), "1,000"},
                                         CommaCase{Number::withUInt64(1234567), "1,234,567"},
                                         CommaCase{Number::withUInt64(1000000), "1,000,000"},
                                         CommaCase{Number::withUInt64(0), "0"},
                                         CommaCase{Number::withUInt64(18446744073709551615u),
                                                   "18,446,744,073,709,551,615"},
                                         CommaCase{Number::withInt64(-1234567), "-1,234,567"},
                                         CommaCase{Number::withDouble(1234.4), "1,234"}));

TEST(NumberCommasInOtherLocales, StillUsesCommasEveryThreeDigits) {
  // German groups with ".", Indian English by two after the first three, Polish leaves
  // four digits ungrouped; none of that may show here.
  const icu::Locale original = icu::Locale::getDefault();
  for (const char* locale : {"de_DE", "en_IN", "pl_PL"}) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(locale), status);
    ASSERT_TRUE(U_SUCCESS(status));
    EXPECT_EQ(Number::withUInt64(1234567).integerDescriptionWithCommaSeparators(), "1,234,567")
        << locale;
    EXPECT_EQ(Number::withUInt64(1000).integerDescriptionWithCommaSeparators(), "1,000") << locale;
    EXPECT_EQ(Number::withUInt64(123456789).integerDescriptionWithCommaSeparators(), "123,456,789")
        << locale;
  }
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(original, status);
}

struct NarrowingCase {
  std::uint64_t value;
  std::uint32_t low32;
  std::uint16_t low16;
};

class NumberNarrowing : public testing::TestWithParam<NarrowingCase> {};

TEST_P(NumberNarrowing, KeepsLowBitsWithoutClamping) {
  const auto number = Number::withUInt64(GetParam().value);
  EXPECT_EQ(number.UInt64Value(), GetParam().value);
  EXPECT_EQ(number.UInt32Value(), GetParam().low32);
  EXPECT_EQ(number.UInt16Value(), GetParam().low16);
}

INSTANTIATE_TEST_SUITE_P(Table, NumberNarrowing,
                         testing::Values(NarrowingCase{65535, 65535, 65535},
                                         NarrowingCase{65536, 65536, 0},
                                         NarrowingCase{70000, 70000, 4464},
                                         NarrowingCase{4294967296u, 0, 0},
                                         NarrowingCase{4294967301u, 5, 5},
                                         NarrowingCase{18446744073709551615u, 4294967295u, 65535}));

}  // namespace
}  // namespace tove

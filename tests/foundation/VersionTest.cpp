#include "tove/Version.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <unordered_set>
#include <vector>

#include "tove/Application.h"
#include "tove/Bundle.h"

namespace tove {
namespace {

struct GrammarCase {
  const char* text;
  std::optional<Version> expected;
  const char* description;
};

std::optional<Version> v(std::uint16_t a, std::uint16_t b, std::uint16_t c) {
  return Version::versionWithMajor(a, b, c);
}

class VersionGrammar : public testing::TestWithParam<GrammarCase> {};

TEST_P(VersionGrammar, ParsesTheFirstVersionInTheText) {
  const auto& c = GetParam();
  const auto parsed = Version::versionWithString(c.text);
  ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << '"' << c.text << '"';
  if (!parsed) return;
  EXPECT_EQ(*parsed, *c.expected) << '"' << c.text << '"';
  EXPECT_EQ(parsed->description(), c.description);
}

INSTANTIATE_TEST_SUITE_P(
    Table, VersionGrammar,
    testing::Values(
        GrammarCase{"1.2.3", v(1, 2, 3), "1.2.3"}, GrammarCase{"1.2", v(1, 2, 0), "1.2"},
        GrammarCase{"1", v(1, 0, 0), "1"}, GrammarCase{" \t1.2\n ", v(1, 2, 0), "1.2"},
        GrammarCase{"V1.2", v(1, 2, 0), "1.2"}, GrammarCase{"V2.0", v(2, 0, 0), "2"},
        GrammarCase{"1.2.3.4", v(1, 2, 3), "1.2.3"}, GrammarCase{"1.2beta3", v(1, 2, 0), "1.2"},
        GrammarCase{"1..2", v(1, 0, 0), "1"}, GrammarCase{".5", v(5, 0, 0), "5"},
        GrammarCase{"01.002.0003", v(1, 2, 3), "1.2.3"}, GrammarCase{"0.0.1", v(0, 0, 1), "0.0.1"},
        GrammarCase{"0.1", v(0, 1, 0), "0.1"}, GrammarCase{"1.0.3", v(1, 0, 3), "1.0.3"},
        GrammarCase{"65535.65535.65535", v(65535, 65535, 65535), "65535.65535.65535"},
        GrammarCase{"version 3 of 4", v(3, 0, 0), "3"}, GrammarCase{"0", {}, ""},
        GrammarCase{"0.0", {}, ""}, GrammarCase{"0.0.0", {}, ""}, GrammarCase{"", {}, ""},
        GrammarCase{"beta", {}, ""},
        // Digits of other scripts are not digits of a version.
        GrammarCase{"\xd9\xa1.\xd9\xa2", {}, ""}));

TEST(VersionRange, RefusesComponentsThatDoNotFitSixteenBits) {
  // Cutting 65536 to its low bits would make 1.65536 read as 1.0 and sort below 1.1.
  EXPECT_FALSE(Version::versionWithString("65536"));
  EXPECT_FALSE(Version::versionWithString("1.65536"));
  EXPECT_FALSE(Version::versionWithString("1.2.70000"));
  EXPECT_FALSE(Version::versionWithString("1.2.99999999999999999999999"));
  EXPECT_EQ(Version::versionWithString("1.2.0000000000000000000000065535"), v(1, 2, 65535));
}

TEST(VersionDescription, RoundTripsThroughTheGrammar) {
  for (const auto& version : {v(1, 2, 0), v(3, 0, 0), v(1, 0, 3), v(0, 0, 9), v(7, 8, 9)}) {
    ASSERT_TRUE(version);
    EXPECT_EQ(Version::versionWithString(version->description()), version)
        << version->description();
  }
}

TEST(VersionEquality, AgreesWithHash) {
  const auto a = Version::versionWithString("1.2.3");
  const auto b = Version::versionWithString(" v01.02.03 ");
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(a->isEqual(b));
  EXPECT_EQ(a->hash(), b->hash());
  EXPECT_FALSE(a->isEqual(std::nullopt));
  EXPECT_FALSE(a->isEqual(v(1, 2, 4)));
  // Component boundaries are part of the hashed text: 1.23.4 and 12.3.4 must differ.
  EXPECT_NE(v(1, 23, 4)->hash(), v(12, 3, 4)->hash());
  std::unordered_set<Version> set{*a, *b, *v(1, 2, 4)};
  EXPECT_EQ(set.size(), 2u);
}

struct OrderCase {
  const char* receiver;
  const char* argument;
  bool expected;
};

class VersionOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(VersionOrder, ComparesComponentsNumerically) {
  const auto& c = GetParam();
  const auto receiver = Version::versionWithString(c.receiver);
  ASSERT_TRUE(receiver);
  EXPECT_EQ(receiver->isEqualToOrBetterThan(Version::versionWithString(c.argument)), c.expected)
      << c.receiver << " >= " << c.argument;
}

INSTANTIATE_TEST_SUITE_P(
    Table, VersionOrder,
    testing::Values(OrderCase{"1.2.3", "1.2.3", true}, OrderCase{"1.10.0", "1.9.9", true},
                    OrderCase{"1.10", "1.9", true}, OrderCase{"1.2.3", "1.3.0", false},
                    OrderCase{"2.0.0", "1.99.99", true}, OrderCase{"1.0.1", "1.0.2", false},
                    OrderCase{"1.0.2", "1.0.1", true},
                    OrderCase{"0.0.1", "", true},  // none is 0.0.0
                    OrderCase{"65535", "65534.65535.65535", true}));

class ApplicationVersion : public testing::Test {
 protected:
  void TearDown() override {
    Bundle::overrideMainBundlePath(std::nullopt);
    std::error_code ignored;
    for (const auto& root : roots_) std::filesystem::remove_all(root, ignored);
  }

  void useBundleWithVersion(const char* plistVersion) {
    char pattern[] = "/tmp/tove-version-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    roots_.emplace_back(pattern);
    const auto bundle = roots_.back() / "Tove.app";
    std::filesystem::create_directories(bundle / "Contents");
    if (plistVersion != nullptr) {
      std::FILE* file = std::fopen((bundle / "Contents" / "Info.plist").c_str(), "w");
      ASSERT_NE(file, nullptr);
      std::fprintf(file,
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                   "<key>CFBundleShortVersionString</key><string>%s</string></dict></plist>\n",
                   plistVersion);
      std::fclose(file);
    }
    Bundle::overrideMainBundlePath(bundle);
  }

  std::vector<std::filesystem::path> roots_;
};

TEST_F(ApplicationVersion, ReadsTheMainBundleEachTime) {
  useBundleWithVersion("1.0.1");
  EXPECT_EQ(Application::version(), v(1, 0, 1));
  useBundleWithVersion("2.5");
  EXPECT_EQ(Application::version(), v(2, 5, 0));
}

TEST_F(ApplicationVersion, IsNoneWithoutAVersionKeyOrText) {
  useBundleWithVersion(nullptr);
  EXPECT_FALSE(Application::version());
  useBundleWithVersion("unknown");
  EXPECT_FALSE(Application::version());
}

}  // namespace
}  // namespace tove

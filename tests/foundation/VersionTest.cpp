#include "sparkler/Version.h"

#include <gtest/gtest.h>

#include "sparkler/Application.h"
#include "sparkler/Bundle.h"
#include "sparkler/testing/TempDir.h"
#include "sparkler/testing/TestBundle.h"

namespace sparkler {
namespace {

TEST(Version, ParsesTheFirstVersionInTheTextAndRoundTripsItsDescription) {
  const std::pair<const char*, const char*> cases[] = {
      {" \t1.2\n ", "1.2"},    {"V2.0", "2"},      {"1.2.3.4", "1.2.3"},
      {"1.2beta3", "1.2"},     {"1..2", "1"},      {".5", "5"},
      {"version 3 of 4", "3"}, {"1.0.3", "1.0.3"}, {"1.0000000000000000000002", "1.2"}};
  for (const auto& [text, description] : cases) {
    EXPECT_EQ(Version::versionWithString(text).value().description(), description) << text;
    EXPECT_EQ(Version::versionWithString(description), Version::versionWithString(text));
  }
  // Digits of other scripts are not digits of a version; cutting a component above 65535
  // to its low bits would read 1.65536 as 1.0.
  for (const char* text :
       {"0.0.0", "", "beta", "\xd9\xa1.\xd9\xa2", "1.65536", "1.99999999999999"}) {
    EXPECT_FALSE(Version::versionWithString(text)) << text;
  }
}

// The search's work grows with the square of the text's length: longer text is not read.
TEST(Version, ReadsTextUpToItsBoundOnly) {
  const std::string longest = std::string(Version::kMaximumTextLength - 5, ' ') + "1.2.3";
  EXPECT_EQ(Version::versionWithString(longest), Version::versionWithMajor(1, 2, 3));
  EXPECT_FALSE(Version::versionWithString(" " + longest));
}

// Component boundaries are part of the hashed text, so 1.23.4 and 12.3.4 hash apart.
TEST(Version, ComparesComponentsNumericallyAndHashesOnlyEqualVersionsAlike) {
  const char* ascending[] = {"0.0.1",  "1.0.1",   "1.0.2", "1.2.3",  "1.3",         "1.9.9", "1.10",
                             "1.23.4", "1.99.99", "2",     "12.3.4", "65534.65535", "65535"};
  for (std::size_t i = 0; i < std::size(ascending); ++i) {
    const auto a = Version::versionWithString(ascending[i]).value();
    for (std::size_t j = 0; j < std::size(ascending); ++j) {
      const auto b = Version::versionWithString(ascending[j]);
      EXPECT_EQ(a.isEqualToOrBetterThan(b), i >= j) << ascending[i] << " >= " << ascending[j];
      EXPECT_EQ(a.isEqual(b), i == j) << ascending[i] << " == " << ascending[j];
      EXPECT_EQ(a.hash() == b->hash(), i == j) << ascending[i] << " hashes as " << ascending[j];
    }
    EXPECT_TRUE(a.isEqualToOrBetterThan(std::nullopt));
    EXPECT_FALSE(a.isEqual(std::nullopt));
  }
}

TEST(Version, OfTheApplicationIsReadFromTheMainBundleEachTime) {
  testing::TempDir root;
  const std::pair<const char*, std::optional<std::string_view>> cases[] = {
      {"1.0.1", "1.0.1"}, {"2.5", "2.5"}, {"", std::nullopt}, {"", "unknown"}};
  int count = 0;
  for (const auto& [expected, plistVersion] : cases) {
    const auto name = "Tove" + std::to_string(++count);
    Bundle::overrideMainBundlePath(testing::makeTestBundle(root.path(), name, plistVersion, {}));
    const auto version = Application::version();
    EXPECT_EQ(version ? version->description() : "", expected) << count;
  }
  Bundle::overrideMainBundlePath(std::nullopt);
}

}  // namespace
}  // namespace sparkler

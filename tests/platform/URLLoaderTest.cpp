#include "sparkler/URLLoader.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace sparkler {
namespace {

// Images lie beside the manifest: the name replaces the manifest's last path component (and
// drops any query or fragment), escaped so that it stays one segment of that folder.
TEST(URLLoaderTest, SiblingURLNamesAFileInTheManifestsFolder) {
  struct Row {
    const char* url;
    std::string name;
    std::optional<std::string> expected;
  };
  const Row rows[] = {
      {"https://h/a/b/_.json", "x.dmg", "https://h/a/b/x.dmg"},
      {"https://h:8443/a/_.json?v=1#top", "Tove 1.0.1 #2.dmg",
       "https://h:8443/a/Tove%201.0.1%20%232.dmg"},
      {"https://h/a/b/", "n", "https://h/a/n"},
      {"https://h", "n", "https://h/n"},
      {"https://h?x", "n", "https://h/n"},
      {"https://h/_.json", "../x/ü?.dmg", "https://h/..%2Fx%2F%C3%BC%3F.dmg"},
      {"https://h/_.json", "", std::nullopt},
      {"no scheme/_.json", "n", std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.url) + " + " + row.name);
    EXPECT_EQ(URLLoader::siblingURL(row.url, row.name), row.expected);
  }
  // A file named after the manifest: the query still reaches the server, as for the manifest.
  EXPECT_EQ(URLLoader::withPathSuffix("https://h:8443/a/_.json?v=1&w=%20#top", ".sig"),
            "https://h:8443/a/_.json.sig?v=1&w=%20");
  EXPECT_EQ(URLLoader::withPathSuffix("https://h", ".sig"), "https://h/.sig");
  EXPECT_EQ(URLLoader::withPathSuffix("no scheme/_.json", ".sig"), std::nullopt);
}

// A validator is sent back in a request header: one that could end that header or grow without
// bound is not kept.
TEST(URLLoaderTest, OnlyShortPrintableValidatorsAreKept) {
  const std::string longest(URLLoader::kMaximumValidatorLength, 't');
  for (const auto& [value, usable] : {std::pair<std::string, bool>{longest, true},
                                      {"W/\"x\"", true},
                                      {longest + "t", false},
                                      {"", false},
                                      {"a\r\nSet-Cookie: x", false},
                                      {std::string("a\0b", 3), false},
                                      {"a\x7f", false}}) {
    EXPECT_EQ(URLLoader::isUsableValidator(value), usable) << value;
  }
}

}  // namespace
}  // namespace sparkler

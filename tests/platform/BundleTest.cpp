#include "sparkler/Bundle.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <tuple>

#include "sparkler/testing/TempDir.h"

namespace sparkler {
namespace {

namespace fs = std::filesystem;

constexpr const char* kXmlPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
    "<key>CFBundleIdentifier</key><string>org.example.Tove</string>"
    "<key>CFBundleShortVersionString</key><string>1.0.1</string>"
    "<key>CFBundleVersion</key><integer>7</integer>"
    "<key>Keys</key><array><string>a</string><string>b</string></array>"
    "<key>Mixed</key><array><string>a</string><integer>1</integer></array></dict></plist>\n";

// The same dictionary as libplist writes it in binary form.
std::string binaryPlist() {
  plist_t dict = nullptr;
  plist_from_xml(kXmlPlist, static_cast<std::uint32_t>(std::strlen(kXmlPlist)), &dict);
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(dict, &bytes, &length);
  std::string result(bytes, length);
  std::free(bytes);
  plist_free(dict);
  return result;
}

class BundleFolder : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(root_.path().empty()); }
  void TearDown() override { Bundle::overrideMainBundlePath(std::nullopt); }
  void writeInfo(const std::string& bytes) { testing::writeFile(info_, bytes); }

  testing::TempDir root_{"tove-bundle"};
  const fs::path bundle_ = root_.path() / "Tove.app";
  const fs::path info_ = bundle_ / "Contents" / "Info.plist";
};

// Arrays of strings are read too; any other value, or an array beyond the bounds, is seen as an
// empty list, so that a key holding something unusable is never taken for an absent one.
TEST_F(BundleFolder, ReadsTheStringsAndStringArraysOfXmlAndBinaryInfoDictionaries) {
  for (const auto& bytes : {std::string(kXmlPlist), binaryPlist()}) {
    writeInfo(bytes);
    const auto bundle = Bundle::bundleWithPath(bundle_);
    ASSERT_TRUE(bundle->infoDictionary());
    EXPECT_EQ(bundle->bundleIdentifier(), "org.example.Tove");
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleShortVersionString"), "1.0.1");
    EXPECT_EQ(bundle->infoDictionary()->size(), 2u);
    EXPECT_EQ(bundle->arrayForInfoDictionaryKey("Keys"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(bundle->arrayForInfoDictionaryKey("Mixed"), std::vector<std::string>{});
    EXPECT_EQ(bundle->arrayForInfoDictionaryKey("CFBundleVersion"), std::vector<std::string>{});
    EXPECT_EQ(bundle->arrayForInfoDictionaryKey("CFBundleIdentifier"), std::nullopt);
    EXPECT_EQ(bundle->arrayForInfoDictionaryKey("Absent"), std::nullopt);
  }
  const auto array = [](std::size_t count, std::size_t bytes) {
    std::string items;
    for (std::size_t i = 0; i < count; ++i)
      items += "<string>" + std::string(bytes, 'k') + "</string>";
    return "<plist version=\"1.0\"><dict><key>Keys</key><array>" + items +
           "</array></dict></plist>";
  };
  for (const auto& [count, bytes, kept] :
       {std::tuple{Bundle::kMaximumArrayCount, Bundle::kMaximumArrayStringBytes, true},
        std::tuple{Bundle::kMaximumArrayCount + 1, std::size_t{1}, false},
        std::tuple{std::size_t{1}, Bundle::kMaximumArrayStringBytes + 1, false}}) {
    writeInfo(array(count, bytes));
    EXPECT_EQ(Bundle::bundleWithPath(bundle_)->arrayForInfoDictionaryKey("Keys")->size(),
              kept ? count : 0u)
        << count << " of " << bytes;
  }
  fs::remove(info_);
  EXPECT_FALSE(Bundle::bundleWithPath(bundle_)->infoDictionary());
  for (const char* bytes : {"", "not a plist", "<plist><array><string>x</string></array></plist>",
                            "bplist00\x01\x02"}) {
    writeInfo(bytes);
    EXPECT_FALSE(Bundle::bundleWithPath(bundle_)->infoDictionary()) << bytes;
  }
}

TEST_F(BundleFolder, FindsResourcesThatExist) {
  const auto resources = bundle_ / "Contents" / "Resources";
  testing::writeFile(resources / "Scripts" / "bounce.sh", "#!/bin/sh\n");
  testing::writeFile(resources / "MainWindow.ui", "<ui/>\n");
  const auto bundle = Bundle::bundleWithPath(bundle_);
  EXPECT_EQ(bundle->URLForResource("bounce", "sh", "Scripts"), resources / "Scripts" / "bounce.sh");
  EXPECT_EQ(bundle->URLForResource("MainWindow", "ui"), resources / "MainWindow.ui");
  EXPECT_FALSE(bundle->URLForResource("bounce", "sh"));
  EXPECT_FALSE(bundle->URLForResource("", "", ""));
}

TEST_F(BundleFolder, MainBundleFollowsTheOverrideElseTheRunningExecutable) {
  writeInfo(kXmlPlist);
  Bundle::overrideMainBundlePath(bundle_);
  EXPECT_EQ(Bundle::mainBundle()->bundlePath(), bundle_);
  EXPECT_EQ(Bundle::mainBundle()->bundleIdentifier(), "org.example.Tove");
  fs::remove(info_);
  EXPECT_FALSE(Bundle::mainBundle()->infoDictionary());  // read anew on every call
  // This test program lies outside any bundle: its folder, without information.
  Bundle::overrideMainBundlePath(std::nullopt);
  EXPECT_EQ(Bundle::mainBundle()->bundlePath(), fs::read_symlink("/proc/self/exe").parent_path());
  EXPECT_FALSE(Bundle::mainBundle()->infoDictionary());
  // A copy of it inside the bundle finds that bundle, and says so in the report file.
  writeInfo(kXmlPlist);
  const auto copy = bundle_ / "Contents" / "MacOS" / "Tove";
  fs::create_directories(copy.parent_path());
  fs::copy_file(fs::read_symlink("/proc/self/exe"), copy);
  const auto report = root_.path() / "report.txt";
  ::setenv("TOVE_BUNDLE_REPORT", report.c_str(), 1);
  EXPECT_EQ(std::system((copy.string() + " --gtest_filter=BundleFolderChild.* >/dev/null").c_str()),
            0);
  ::unsetenv("TOVE_BUNDLE_REPORT");
  EXPECT_EQ(testing::readFile(report), bundle_.string() + "\norg.example.Tove\n");
}

TEST(BundleFolderChild, ReportsMainBundle) {
  const char* report = std::getenv("TOVE_BUNDLE_REPORT");
  if (report == nullptr) GTEST_SKIP() << "runs only as the child of the test above";
  const auto bundle = Bundle::mainBundle();
  testing::writeFile(report, bundle->bundlePath().string() + '\n' +
                                 bundle->bundleIdentifier().value_or("(none)") + '\n');
}

}  // namespace
}  // namespace sparkler

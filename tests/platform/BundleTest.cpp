#include "tove/Bundle.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace tove {
namespace {

namespace fs = std::filesystem;

class BundleFolder : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tove-bundle-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    bundle_ = root_ / "Tove.app";
    fs::create_directories(bundle_ / "Contents" / "Resources" / "Scripts");
    fs::create_directories(bundle_ / "Contents" / "MacOS");
    std::ofstream(bundle_ / "Contents" / "Resources" / "Scripts" / "bounce.sh") << "#!/bin/sh\n";
    std::ofstream(bundle_ / "Contents" / "Resources" / "MainWindow.ui") << "<ui/>\n";
  }

  void TearDown() override {
    Bundle::overrideMainBundlePath(std::nullopt);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void writeInfo(const std::string& bytes) {
    std::ofstream(bundle_ / "Contents" / "Info.plist", std::ios::binary) << bytes;
  }

  // The same dictionary as libplist writes it in binary form, with a non-string value too.
  static std::string binaryPlist() {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_string("org.example.Tove"));
    plist_dict_set_item(dict, "CFBundleShortVersionString", plist_new_string("1.0.1"));
    plist_dict_set_item(dict, "LSRequiresIPhoneOS", plist_new_bool(0));
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(dict, &bytes, &length);
    std::string result(bytes, length);
    std::free(bytes);
    plist_free(dict);
    return result;
  }

  fs::path root_, bundle_;
};

constexpr const char* kXmlPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>org.example.Tove</string>
  <key>CFBundleShortVersionString</key><string>1.0.1</string>
  <key>CFBundleVersion</key><integer>7</integer>
</dict>
</plist>
)";

TEST_F(BundleFolder, ReadsXmlAndBinaryInfoDictionaries) {
  for (const auto& bytes : {std::string(kXmlPlist), binaryPlist()}) {
    writeInfo(bytes);
    const auto bundle = Bundle::bundleWithPath(bundle_);
    ASSERT_TRUE(bundle->infoDictionary());
    EXPECT_EQ(bundle->bundleIdentifier(), "org.example.Tove");
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleShortVersionString"), "1.0.1");
    // Only string values are kept.
    EXPECT_EQ(bundle->infoDictionary()->size(), 2u);
    EXPECT_FALSE(bundle->objectForInfoDictionaryKey("CFBundleVersion"));
    EXPECT_EQ(bundle->bundlePath(), bundle_);
  }
}

TEST_F(BundleFolder, HasNoInfoDictionaryWhenThePlistIsMissingOrBroken) {
  EXPECT_FALSE(Bundle::bundleWithPath(bundle_)->infoDictionary());
  for (const char* bytes : {"", "not a plist", "<plist><array><string>x</string></array></plist>",
                            "bplist00\x01\x02"}) {
    writeInfo(bytes);
    const auto bundle = Bundle::bundleWithPath(bundle_);
    EXPECT_FALSE(bundle->infoDictionary()) << bytes;
    EXPECT_FALSE(bundle->bundleIdentifier());
  }
}

TEST_F(BundleFolder, FindsResourcesThatExist) {
  const auto bundle = Bundle::bundleWithPath(bundle_);
  EXPECT_EQ(bundle->URLForResource("bounce", "sh", "Scripts"),
            bundle_ / "Contents" / "Resources" / "Scripts" / "bounce.sh");
  EXPECT_EQ(bundle->URLForResource("MainWindow", "ui"),
            bundle_ / "Contents" / "Resources" / "MainWindow.ui");
  EXPECT_FALSE(bundle->URLForResource("bounce", "sh"));
  EXPECT_FALSE(bundle->URLForResource("missing", "sh", "Scripts"));
  EXPECT_FALSE(bundle->URLForResource("", "", ""));
}

TEST_F(BundleFolder, MainBundleFollowsTheOverrideAndRereadsThePlist) {
  writeInfo(kXmlPlist);
  Bundle::overrideMainBundlePath(bundle_);
  EXPECT_EQ(Bundle::mainBundle()->bundlePath(), bundle_);
  EXPECT_EQ(Bundle::mainBundle()->bundleIdentifier(), "org.example.Tove");
  writeInfo(binaryPlist());
  fs::remove(bundle_ / "Contents" / "Info.plist");
  EXPECT_FALSE(Bundle::mainBundle()->infoDictionary());
}

TEST_F(BundleFolder, MainBundleOfALooseExecutableIsItsFolderWithoutInfo) {
  // This test program lies outside any bundle.
  Bundle::overrideMainBundlePath(std::nullopt);
  const auto bundle = Bundle::mainBundle();
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->bundlePath(), fs::read_symlink("/proc/self/exe").parent_path());
  EXPECT_FALSE(bundle->infoDictionary());
}

TEST_F(BundleFolder, MainBundleOfAnExecutableInsideABundleIsThatBundle) {
  writeInfo(kXmlPlist);
  const auto copy = bundle_ / "Contents" / "MacOS" / "Tove";
  fs::copy_file(fs::read_symlink("/proc/self/exe"), copy);
  fs::permissions(copy, fs::perms(0755));
  // The copy of this test program writes what it finds into the report file.
  const auto report = root_ / "report.txt";
  setenv("TOVE_BUNDLE_REPORT", report.c_str(), 1);
  const std::string command = copy.string() +
                              " --gtest_filter=BundleFolderChild.ReportsMainBundle"
                              " >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
  unsetenv("TOVE_BUNDLE_REPORT");
  std::ifstream stream(report);
  std::string path, identifier;
  std::getline(stream, path);
  std::getline(stream, identifier);
  EXPECT_EQ(path, bundle_.string());
  EXPECT_EQ(identifier, "org.example.Tove");
}

TEST(BundleFolderChild, ReportsMainBundle) {
  const char* report = std::getenv("TOVE_BUNDLE_REPORT");
  if (report == nullptr) GTEST_SKIP() << "runs only as the child of the test above";
  const auto bundle = Bundle::mainBundle();
  std::ofstream(report) << bundle->bundlePath().string() << '\n'
                        << bundle->bundleIdentifier().value_or("(none)") << '\n';
}

}  // namespace
}  // namespace tove

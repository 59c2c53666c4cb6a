// The maker's side: `sparkler publish` builds the update's image and lists it in the manifest.

#include <algorithm>
#include <nlohmann/json.hpp>

#include "DiskImageSupport.h"
#include "tove/Checksum.h"

namespace tove::test {
namespace {

class PublishTest : public ::testing::Test {
 protected:
  DiskImageRun& run = DiskImageRun::shared();
  fs::path work;
  fs::path app;
  fs::path out;

  void SetUp() override {
    work = run.folder() / ("publish " + Folders::newUUIDString());
    app = work / "Tove.app";
    writeFile(app / "Contents" / "Info.plist", "<plist/>", fs::perms(0644));
    out = work / "site" / "software";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(work, ignored);
  }

  ToolRun publish(const std::string& version, const fs::path& bundle) {
    return run.runProgram(DiskImageRun::sparkler(), {"publish", "--app", bundle.string(),
                                                     "--version", version, "--out", out.string()});
  }
  std::vector<std::string> filesInOut() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(PublishTest, AppendsEntriesOldestFirst) {
  ASSERT_EQ(publish("1.0.1", app).status, 0);
  writeFile(app / "Contents" / "MacOS" / "Tove", "new", fs::perms(0755));
  const auto second = publish("1.2", app);
  ASSERT_EQ(second.status, 0) << second.err;

  const auto manifest = nlohmann::json::parse(readFile(out / "_.json"));
  ASSERT_TRUE(manifest.is_array());
  ASSERT_EQ(manifest.size(), 2u);
  EXPECT_EQ(manifest[0]["version"], "1.0.1");
  EXPECT_EQ(manifest[1]["version"], "1.2");
  for (const auto& entry : manifest) {
    const std::string bytes = readFile(out / entry["name"].get<std::string>());
    EXPECT_EQ(entry["size"], bytes.size());
    EXPECT_EQ(entry["hash"], Checksum::MD5String(bytes).value_or(""));
  }
  EXPECT_EQ(manifest[1]["name"], "Tove-1.2.dmg");
  EXPECT_EQ(filesInOut(), (std::vector<std::string>{"Tove-1.0.1.dmg", "Tove-1.2.dmg", "_.json"}));
}

TEST_F(PublishTest, RefusesWithoutTouchingTheManifest) {
  ASSERT_EQ(publish("1.0.1", app).status, 0);
  const std::string before = readFile(out / "_.json");
  const auto files = filesInOut();

  for (const auto& [version, bundle] : {std::pair<std::string, fs::path>{"1.0.1", app},
                                        {"1.0.0", app},
                                        {"1", app},
                                        {"1.0.2-beta", app},
                                        {"0.0.0", app},
                                        {"1.0.2", work / "missing.app"},
                                        {"1.0.2", work}}) {
    const auto refused = publish(version, bundle);
    EXPECT_EQ(refused.status, 1) << version;
    EXPECT_EQ(lines(refused.err).size(), 1u) << refused.err;
    EXPECT_EQ(readFile(out / "_.json"), before);
    EXPECT_EQ(filesInOut(), files);
  }

  writeFile(out / "_.json", "{\"not\": \"a list\"}", fs::perms(0644));
  EXPECT_EQ(publish("2.0.0", app).status, 1);
  EXPECT_EQ(readFile(out / "_.json"), "{\"not\": \"a list\"}");
}

}  // namespace
}  // namespace tove::test

// The maker's side: `sparkler publish` builds the update's image and lists it in the manifest.

#include <nlohmann/json.hpp>
#include <set>

#include "DiskImageSupport.h"
#include "tove/Checksum.h"

namespace tove::test {
namespace {

class PublishTest : public DiskImageTest {
 protected:
  fs::path app = work / "Tove.app";
  fs::path out = work / "site" / "software";

  void SetUp() override { writeFile(app / "Contents" / "Info.plist", "<plist/>", fs::perms(0644)); }

  std::set<std::string> filesInOut() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(out)) names.insert(entry.path().filename());
    return names;
  }
};

TEST_F(PublishTest, AppendsEntriesOldestFirst) {
  ASSERT_EQ(publish(app, "1.0.1", out).status, 0);
  writeFile(app / "Contents" / "MacOS" / "Tove", "new", fs::perms(0755));
  const auto second = publish(app, "1.2", out);
  ASSERT_EQ(second.status, 0) << second.err;

  const auto manifest = nlohmann::json::parse(readFile(out / "_.json"));
  ASSERT_TRUE(manifest.is_array());
  ASSERT_EQ(manifest.size(), 2u);
  EXPECT_EQ(manifest[0]["version"], "1.0.1");
  EXPECT_EQ(manifest[1]["version"], "1.2");
  EXPECT_EQ(manifest[1]["name"], "Tove-1.2.dmg");
  for (const auto& entry : manifest) {
    const std::string bytes = readFile(out / entry["name"].get<std::string>());
    EXPECT_EQ(entry["size"], bytes.size());
    EXPECT_EQ(entry["hash"], Checksum::MD5String(bytes).value_or(""));
  }
  EXPECT_EQ(filesInOut(), (std::set<std::string>{"Tove-1.0.1.dmg", "Tove-1.2.dmg", "_.json"}));
}

TEST_F(PublishTest, RefusesWithoutTouchingTheManifest) {
  ASSERT_EQ(publish(app, "1.0.1", out).status, 0);
  const std::string before = readFile(out / "_.json");
  const auto files = filesInOut();
  // The same version, an older one, one that is not a version, and no bundle to publish.
  for (const auto& [version, bundle] : {std::pair<std::string, fs::path>{"1.0.1", app},
                                        {"1.0.0", app},
                                        {"1.0.2-beta", app},
                                        {"1.0.2", work / "missing.app"}}) {
    const auto refused = publish(bundle, version, out);
    EXPECT_EQ(refused.status, 1) << version;
    EXPECT_EQ(lines(refused.err).size(), 1u) << refused.err;
    EXPECT_EQ(readFile(out / "_.json"), before);
    EXPECT_EQ(filesInOut(), files);
  }
  writeFile(out / "_.json", "{\"not\": \"a list\"}", fs::perms(0644));
  EXPECT_EQ(publish(app, "2.0.0", out).status, 1);
  EXPECT_EQ(readFile(out / "_.json"), "{\"not\": \"a list\"}");
}

}  // namespace
}  // namespace tove::test

// The maker's side: `sparkler publish` builds the update's image and lists it in the manifest.

#include <nlohmann/json.hpp>
#include <set>

#include "sparkler/Checksum.h"
#include "sparkler/testing/DiskImages.h"

namespace sparkler::test {
namespace {

class PublishTest : public DiskImageTest {
 protected:
  fs::path app = work / "Tove.app";
  fs::path out = work / "site" / "software";

  void SetUp() override { setBundleVersion("1.0.1"); }

  void setBundleVersion(std::optional<std::string_view> version) {
    ASSERT_EQ(testing::makeTestBundle(work, "Tove", version, "org.tove.Tove"), app);
  }

  std::set<std::string> filesInOut() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(out)) names.insert(entry.path().filename());
    return names;
  }
};

// Entries are appended oldest first, each as the bundle's own version: given, it must read as
// the Info.plist's; left out, it is the Info.plist's. A refused publication leaves the manifest
// and the images as they were.
TEST_F(PublishTest, AppendsEntriesOldestFirstAsTheBundlesOwnVersionsAndRefusesOthers) {
  ASSERT_EQ(publish(app, "1.0.1", out).status, 0);
  setBundleVersion("1.2");
  writeFile(app / "Contents" / "MacOS" / "Tove", "new", fs::perms(0755));
  const auto second = publish(app, std::nullopt, out);
  ASSERT_EQ(second.status, 0) << second.error;
  setBundleVersion("1.3.0");
  const auto third = publish(app, "1.3", out);
  ASSERT_EQ(third.status, 0) << third.error;

  const std::string before = readFile(out / "_.json");
  const auto manifest = nlohmann::json::parse(before);
  ASSERT_TRUE(manifest.is_array());
  ASSERT_EQ(manifest.size(), 3u);
  EXPECT_EQ(manifest[0]["version"], "1.0.1");
  EXPECT_EQ(manifest[1]["version"], "1.2");
  EXPECT_EQ(manifest[2]["version"], "1.3");
  for (const auto& entry : manifest) {
    const std::string bytes = readFile(out / entry["name"].get<std::string>());
    EXPECT_EQ(entry["size"], bytes.size());
    EXPECT_EQ(entry["hash"], Checksum::MD5String(bytes).value_or(""));
  }
  const std::set<std::string> files{"Tove-1.0.1.dmg", "Tove-1.2.dmg", "Tove-1.3.dmg", "_.json"};
  EXPECT_EQ(filesInOut(), files);

  // The same version, an older one, one that is not a version, no bundle to publish, and a
  // bundle that is another version than the one it would be published as (clients would
  // install it and be offered it again after every relaunch), or none, given or not.
  const std::tuple<std::optional<std::string_view>, std::optional<std::string>, fs::path> cases[] =
      {{"1.3", "1.3", app},
       {"1.2.5", "1.2.5", app},
       {"1.4", "1.4-beta", app},
       {"1.4", "1.4", work / "missing.app"},
       {"1.3", "1.4", app},
       {std::nullopt, "1.4", app},
       {std::nullopt, std::nullopt, app}};
  for (const auto& [bundled, version, bundle] : cases) {
    setBundleVersion(bundled);
    const auto refused = publish(bundle, version, out);
    EXPECT_EQ(refused.status, 1) << version.value_or("none");
    EXPECT_EQ(lines(refused.error).size(), 1u) << refused.error;
    EXPECT_EQ(readFile(out / "_.json"), before);
    EXPECT_EQ(filesInOut(), files);
  }
  setBundleVersion("2.0.0");
  writeFile(out / "_.json", "{\"not\": \"a list\"}", fs::perms(0644));
  EXPECT_EQ(publish(app, "2.0.0", out).status, 1);
  EXPECT_EQ(readFile(out / "_.json"), "{\"not\": \"a list\"}");
}

}  // namespace
}  // namespace sparkler::test

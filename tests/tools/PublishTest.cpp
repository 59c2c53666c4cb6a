// The maker's side: `sparkler publish` builds the update's image and lists it in the manifest, and
// docs/manifest.schema.json describes that manifest as the updater reads it.

#include <nlohmann/json.hpp>
#include <set>

#include "sparkler/Checksum.h"
#include "sparkler/testing/DiskImages.h"

namespace sparkler::test {
namespace {

using nlohmann::json;

// Validates each instance against the schema with Debian's python3-jsonschema and prints the
// verdicts as a JSON list. The schema must be one of draft 2020-12 and valid itself.
constexpr char kValidate[] = R"(
import json, sys
try:
    import jsonschema
except ImportError:
    sys.exit("python3-jsonschema is missing; scripts/install-deps.sh installs it")
with open(sys.argv[1]) as f:
    schema = json.load(f)
validator = jsonschema.validators.validator_for(schema, default=None)
if validator is not jsonschema.Draft202012Validator:
    sys.exit("the schema does not declare draft 2020-12")
validator.check_schema(schema)
with open(sys.argv[2]) as f:
    print(json.dumps([validator(schema).is_valid(i) for i in json.load(f)]))
)";

class PublishTest : public DiskImageTest {
 protected:
  fs::path app = work / "Tove.app";
  fs::path out = work / "site" / "software";

  void SetUp() override { setBundle(app, "Tove", "1.0.1"); }

  // `bundle` with an Info.plist that gives the name and version that are given.
  void setBundle(const fs::path& bundle, std::optional<std::string_view> name,
                 std::optional<std::string_view> version) {
    std::string plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    const auto key = [&](std::string_view key, std::optional<std::string_view> value) {
      if (value)
        plist +=
            "<key>" + std::string(key) + "</key><string>" + std::string(*value) + "</string>\n";
    };
    key("CFBundleName", name);
    key("CFBundleExecutable", "Tove");
    key("CFBundleIdentifier", "org.tove.Tove");
    key("CFBundleShortVersionString", version);
    fs::create_directories(bundle / "Contents" / "MacOS");
    writeFile(bundle / "Contents" / "Info.plist", plist + "</dict>\n</plist>\n", fs::perms(0644));
  }

  std::set<std::string> filesInOut() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(out)) names.insert(entry.path().filename());
    return names;
  }

  // The names at the root of a squashfs image.
  std::set<std::string> rootOf(const fs::path& image) {
    const auto listed = run.runProgram("/usr/bin/unsquashfs", {"-l", image.string()});
    EXPECT_EQ(listed.status, 0) << listed.error;
    std::set<std::string> names;
    for (const auto& line : lines(listed.output)) {
      const std::string prefix = "squashfs-root/";
      if (line.starts_with(prefix) && line.find('/', prefix.size()) == std::string::npos)
        names.insert(line.substr(prefix.size()));
    }
    return names;
  }

  // Whether the schema takes each of `instances`.
  std::vector<bool> conforms(const std::vector<json>& instances) {
    // The build runs the compiler from its top folder, so a relative __FILE__ is relative to that
    // folder, two above the sparkler tool's own.
    const fs::path build = fs::path(TOVE_TEST_SPARKLER).parent_path().parent_path().parent_path();
    const fs::path schema = (build / __FILE__).parent_path() / "../../docs/manifest.schema.json";
    const fs::path list = work / "instances.json";
    writeFile(list, json(instances).dump(), fs::perms(0644));
    const auto checked =
        run.runProgram("/usr/bin/python3", {"-c", kValidate, schema.string(), list.string()},
                       {"PYTHONDONTWRITEBYTECODE=1"});
    EXPECT_EQ(checked.status, 0) << checked.error;
    const auto verdicts = json::parse(checked.output, nullptr, false);
    return verdicts.is_array() ? verdicts.get<std::vector<bool>>() : std::vector<bool>{};
  }
};

// Entries are appended oldest first, each as the bundle's own version: given, it must read as
// the Info.plist's; left out, it is the Info.plist's. The image and the bundle at its root are
// named after CFBundleName, whatever the bundle's folder is called. The manifest is one the
// schema takes. A refused publication leaves the manifest and the images as they were.
TEST_F(PublishTest, AppendsEntriesOldestFirstAsTheBundlesOwnNamesAndVersionsAndRefusesOthers) {
  ASSERT_EQ(publish(app, "1.0.1", out).status, 0);
  setBundle(app, "Tove", "1.2");
  writeFile(app / "Contents" / "MacOS" / "Tove", "new", fs::perms(0755));
  const auto second = publish(app, std::nullopt, out);
  ASSERT_EQ(second.status, 0) << second.error;
  const fs::path renamed = work / "build output.app";
  setBundle(renamed, "Quill", "1.3.0");
  const auto third = publish(renamed, "1.3", out);
  ASSERT_EQ(third.status, 0) << third.error;

  const std::string before = readFile(out / "_.json");
  const auto manifest = json::parse(before);
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
  EXPECT_EQ(conforms({manifest}), std::vector<bool>{true});
  const std::set<std::string> files{"Tove-1.0.1.dmg", "Tove-1.2.dmg", "Quill-1.3.dmg", "_.json"};
  EXPECT_EQ(filesInOut(), files);
  EXPECT_EQ(rootOf(out / "Tove-1.0.1.dmg"), std::set<std::string>{"Tove.app"});
  EXPECT_EQ(rootOf(out / "Quill-1.3.dmg"), std::set<std::string>{"Quill.app"});

  // The same version, an older one, one that is not a version, no bundle to publish, a bundle
  // that is another version than the one it would be published as (clients would install it
  // and be offered it again after every relaunch) or none, given or not; and a CFBundleName
  // that is missing, is no plain file name, or makes too long an image name.
  const std::string longName(49, 'n'), longest(48, 'n');
  const std::tuple<std::optional<std::string_view>, std::optional<std::string_view>,
                   std::optional<std::string>, fs::path>
      cases[] = {{"Tove", "1.3", "1.3", app},
                 {"Tove", "1.2.5", "1.2.5", app},
                 {"Tove", "1.4", "1.4-beta", app},
                 {"Tove", "1.4", "1.4", work / "missing.app"},
                 {"Tove", "1.3", "1.4", app},
                 {"Tove", std::nullopt, "1.4", app},
                 {"Tove", std::nullopt, std::nullopt, app},
                 {std::nullopt, "1.4", "1.4", app},
                 {"", "1.4", "1.4", app},
                 {"a/b", "1.4", "1.4", app},
                 {"..", "1.4", "1.4", app},
                 {"Q\tB", "1.4", "1.4", app},
                 {longName, "1.4", "1.4", app},
                 {longest, "1.4", "00000000001.4", app}};
  for (const auto& [name, bundled, version, bundle] : cases) {
    setBundle(app, name, bundled);
    const auto refused = publish(bundle, version, out);
    EXPECT_EQ(refused.status, 1) << name.value_or("no name") << " " << version.value_or("none");
    EXPECT_EQ(lines(refused.error).size(), 1u) << refused.error;
    EXPECT_EQ(readFile(out / "_.json"), before);
    EXPECT_EQ(filesInOut(), files);
  }
  setBundle(app, "Tove", "2.0.0");
  writeFile(out / "_.json", "{\"not\": \"a list\"}", fs::perms(0644));
  EXPECT_EQ(publish(app, "2.0.0", out).status, 1);
  EXPECT_EQ(readFile(out / "_.json"), "{\"not\": \"a list\"}");
}

// The schema refuses every entry the updater refuses: a wrong type, a missing field, a size outside
// 1 to 50,000,000, a digest that can never match, a name that is not one plain file name, and a
// version that does not read as one. Versions it takes read as versions.
TEST_F(PublishTest, ManifestSchemaRefusesWhatTheUpdaterRefuses) {
  const json good = {{"version", "1.0.1"},
                     {"name", "Tove-1.0.1.dmg"},
                     {"hash", "0123456789abcdef0123456789abcdef"},
                     {"size", 4096}};
  // Manifests of the good entry changed by each of `patches` (null leaves a field out).
  const auto manifests = [&](const json& patches) {
    std::vector<json> all;
    for (const auto& patch : patches) {
      json entry = good;
      entry.merge_patch(patch);
      all.push_back(json::array({entry}));
    }
    return all;
  };
  // `count` times `character`: names at the bounds of the widths of UTF-8 characters.
  const auto times = [](int count, std::string_view character) {
    std::string text;
    for (int i = 0; i < count; ++i) text += character;
    return json::object({{"name", text}});
  };

  json patches = json::parse(R"([
    {}, {"size": 50000000}, {"size": 1.0}, {"notes": "kept, ignored"}, {"name": "T\u00f6ve.dmg"},
    {"version": "0.0.1"}, {"version": "65535.0.0"}, {"version": "007.1"}])");
  for (const auto& name :
       {times(255, "n"), times(127, "\u00f6"), times(85, "\u20ac"), times(63, "\U0001F600")}) {
    patches.push_back(name);
  }
  const auto taken = manifests(patches);
  EXPECT_EQ(conforms(taken), std::vector<bool>(taken.size(), true));
  for (const std::string version : {"0.0.1", "65535.0.0", "007.1"}) {
    EXPECT_EQ(run.runProgram(TOVE_TEST_SPARKLER, {"version", version}).status, 0) << version;
  }

  patches = json::parse(R"([
    {"version": null}, {"name": null}, {"hash": null}, {"size": null},
    {"size": -1}, {"size": 0}, {"size": 50000001}, {"size": 1.5}, {"size": "4096"},
    {"hash": "0123456789ABCDEF0123456789ABCDEF"}, {"hash": "0123456789abcdef"},
    {"hash": "0123456789abcdef0123456789abcdeg"}, {"hash": "0123456789abcdef0123456789abcdef\n"},
    {"name": ""}, {"name": "a/b"}, {"name": ".."},
    {"version": 1}, {"version": "1.2-beta"}, {"version": "0.0"}, {"version": "65536"},
    {"version": "1.2.3.4"}])");
  for (const auto& name :
       {times(256, "n"), times(128, "\u00f6"), times(86, "\u20ac"), times(64, "\U0001F600")}) {
    patches.push_back(name);
  }
  auto refused = manifests(patches);
  refused.insert(refused.end(), {json::array(), good, json::array({json::array()})});
  EXPECT_EQ(conforms(refused), std::vector<bool>(refused.size(), false));
  for (const std::string version : {"0.0", "65536"}) {
    EXPECT_EQ(run.runProgram(TOVE_TEST_SPARKLER, {"version", version}).status, 1) << version;
  }
}

}  // namespace
}  // namespace sparkler::test

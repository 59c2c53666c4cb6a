// The maker's side: `sparkler publish` builds the update's image and lists it in the manifest,
// `keygen` and `sign` make and use the maker's signing keys, and docs/manifest.schema.json
// describes that manifest as the updater reads it.

#include <sys/stat.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <set>

#include "sparkler/Checksum.h"
#include "sparkler/Manifest.h"
#include "sparkler/ManifestSignature.h"
#include "sparkler/testing/DiskImages.h"

namespace sparkler::test {
namespace {

using nlohmann::json;

// Validates each instance against the schema with Debian's python3-jsonschema and prints the
// verdicts as a JSON list. The schema must be one of draft 2020-12 and valid itself.
constexpr char kValidate[] = R"(
import json, sys, jsonschema
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

  // `bundle` with an Info.plist of the name and version given.
  void setBundle(const fs::path& bundle, std::optional<std::string> name,
                 std::optional<std::string> version) {
    std::string plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n";
    for (const auto& [key, value] : {std::pair{"CFBundleName", name},
                                     {"CFBundleExecutable", "Tove"},
                                     {"CFBundleIdentifier", "org.tove.Tove"},
                                     {"CFBundleShortVersionString", version}}) {
      if (value) plist += "<key>" + std::string(key) + "</key><string>" + *value + "</string>\n";
    }
    fs::create_directories(bundle / "Contents" / "MacOS");
    writeFile(bundle / "Contents" / "Info.plist", plist + "</dict></plist>\n", fs::perms(0644));
  }

  // Whether the schema takes each of `instances`.
  std::vector<bool> conforms(const std::vector<json>& instances) {
    const fs::path list = work / "instances.json";
    writeFile(list, json(instances).dump(), fs::perms(0644));
    const auto checked =
        run.runProgram("/usr/bin/python3", {"-c", kValidate, TOVE_TEST_SCHEMA, list.string()},
                       {"PYTHONDONTWRITEBYTECODE=1"});
    EXPECT_EQ(checked.status, 0) << checked.error;
    const auto verdicts = json::parse(checked.output, nullptr, false);
    return verdicts.is_array() ? verdicts.get<std::vector<bool>>() : std::vector<bool>{};
  }
};

// Entries are appended oldest first, each as the bundle's own version: given, it must read as
// the Info.plist's; left out, it is the Info.plist's. The image and the bundle at its root are
// named after CFBundleName, whatever the bundle's folder is called. A refused publication leaves
// the manifest and the images as they were.
TEST_F(PublishTest, AppendsEntriesOldestFirstAsTheBundlesOwnNamesAndVersionsAndRefusesOthers) {
  ASSERT_EQ(publish(app, "1.0.1", out).status, 0);
  setBundle(app, "Tove", "1.2");
  writeFile(app / "Contents" / "MacOS" / "Tove", "new", fs::perms(0755));
  ASSERT_EQ(publish(app, std::nullopt, out).status, 0);
  setBundle(work / "build output.app", "Quill", "1.3.0");
  ASSERT_EQ(publish(work / "build output.app", "1.3", out).status, 0);

  const auto manifest = json::parse(readFile(out / "_.json"));
  std::vector<std::string> listed;
  for (const auto& entry : manifest) {
    listed.push_back(entry["version"].get<std::string>() + " " + entry["name"].get<std::string>());
    const std::string bytes = readFile(out / entry["name"].get<std::string>());
    EXPECT_EQ(entry["size"], bytes.size());
    EXPECT_EQ(entry["hash"], Checksum::MD5String(bytes).value_or(""));
    const auto sha = run.runProgram("/usr/bin/sha256sum", {out / entry["name"].get<std::string>()});
    EXPECT_EQ(entry["sha256"], sha.output.substr(0, 64));
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"1.0.1 Tove-1.0.1.dmg", "1.2 Tove-1.2.dmg",
                                              "1.3 Quill-1.3.dmg"}));
  EXPECT_EQ(conforms({manifest}), std::vector<bool>{true});
  const auto published = snapshot(out);
  EXPECT_EQ(published.size(), 4u);
  std::set<std::string> root;  // the image's items and their first level
  for (const auto& line :
       lines(run.runProgram("/usr/bin/unsquashfs", {"-l", out / "Quill-1.3.dmg"}).output)) {
    if (line.starts_with("squashfs-root")) root.insert(line.substr(0, line.find('/', 14)));
  }
  EXPECT_EQ(root, (std::set<std::string>{"squashfs-root", "squashfs-root/Quill.app"}));

  // The same version, an older one, one that is not a version, no bundle to publish, a bundle
  // that is another version than the one it would be published as (clients would install it
  // and be offered it again after every relaunch) or none, given or not; and a CFBundleName
  // that is missing, is no plain file name, or makes too long an image name.
  // Rows of CFBundleName, CFBundleShortVersionString, the version given (null: none of them)
  // and the bundle, when not the app.
  json cases = json::parse(R"([["Tove", "1.3", "1.3"], ["Tove", "1.2.5", "1.2.5"],
    ["Tove", "1.4", "1.4-beta"], ["Tove", "1.4", "1.4", "missing.app"], ["Tove", "1.3", "1.4"],
    ["Tove", null, "1.4"], ["Tove", null, null], [null, "1.4", "1.4"], ["", "1.4", "1.4"],
    ["a/b", "1.4", "1.4"], ["..", "1.4", "1.4"], ["Q\tB", "1.4", "1.4"]])");
  cases.push_back({std::string(49, 'n'), "1.4", "1.4"});
  cases.push_back({std::string(48, 'n'), "1.4", "00000000001.4"});
  const auto text = [](const json& value) {
    return value.is_null() ? std::nullopt : std::optional<std::string>(value);
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.dump());
    setBundle(app, text(row[0]), text(row[1]));
    const auto refused =
        publish(row.size() > 3 ? work / row[3].get<std::string>() : app, text(row[2]), out);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(lines(refused.error).size(), 1u) << refused.error;
    EXPECT_EQ(snapshot(out), published);
  }
  setBundle(app, "Tove", "2.0.0");
  writeFile(out / "_.json", "{\"not\": \"a list\"}", fs::perms(0644));
  EXPECT_EQ(publish(app, "2.0.0", out).status, 1);
  EXPECT_EQ(readFile(out / "_.json"), "{\"not\": \"a list\"}");
}

// keygen's public key verifies what publish --key signs, as written and with the default
// expiry. Without --key, publish refuses to leave the old signature beside a new manifest; a
// key or expiry it cannot use stops it before anything changes. sign signs with several keys
// (a rotation's overlap) and a chosen expiry, and refuses a manifest the updater would not read.
TEST_F(PublishTest, SignsWhatItPublishesWithTheMakersKeys) {
  namespace sig = ManifestSignature;
  fs::create_directories(work);
  const auto keygen = [&](const std::string& name) {
    const auto made = run.runProgram(TOVE_TEST_SPARKLER, {"keygen", "--out", work / name});
    EXPECT_EQ(made.status, 0) << made.error;
    EXPECT_EQ(lines(made.output).size(), 1u);
    return sig::publicKeyFromBase64(made.output).value_or(sig::PublicKey{});
  };
  const std::vector<sig::PublicKey> oldKey = {keygen("old.pem")}, newKey = {keygen("new.pem")};
  struct stat info {};
  ASSERT_EQ(::stat((work / "old.pem").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string secret = readFile(work / "old.pem");
  EXPECT_EQ(run.runProgram(TOVE_TEST_SPARKLER, {"keygen", "--out", work / "old.pem"}).status, 1);
  EXPECT_EQ(readFile(work / "old.pem"), secret);
  // A public key that cannot be printed is no success: its private key is taken back.
  const auto unprinted = run.runProgram(
      "/bin/sh",
      {"-c", "exec \"$0\" keygen --out \"$1\" >/dev/full", TOVE_TEST_SPARKLER, work / "lost.pem"});
  EXPECT_EQ(unprinted.status, 1) << unprinted.error;
  EXPECT_FALSE(fs::exists(work / "lost.pem"));

  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  const auto verdict = [&](const std::vector<sig::PublicKey>& trusted) {
    return sig::verify(readFile(out / "_.json"), readFile(out / "_.json.sig"), trusted, now);
  };
  const auto signedRun = run.runProgram(
      TOVE_TEST_SPARKLER, {"publish", "--app", app, "--out", out, "--key", work / "old.pem"});
  ASSERT_EQ(signedRun.status, 0) << signedRun.error;
  EXPECT_EQ(verdict(oldKey).state, sig::State::valid) << verdict(oldKey).reason;
  EXPECT_NEAR(verdict(oldKey).expires - now, 30 * 86'400, 600);
  EXPECT_EQ(verdict(newKey).state, sig::State::untrusted);

  const auto published = snapshot(out);
  setBundle(app, "Tove", "1.0.2");
  for (const std::vector<std::string>& extra : {std::vector<std::string>{},
                                                {"--key", work / "missing.pem"},
                                                {"--key", work / "old.pem", "--expires-in", "0"},
                                                {"--expires-in", "3"}}) {
    std::vector<std::string> arguments = {"publish", "--app", app, "--out", out};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const auto refused = run.runProgram(TOVE_TEST_SPARKLER, arguments);
    EXPECT_EQ(refused.status, 1) << json(extra).dump();
    EXPECT_EQ(lines(refused.error).size(), 1u) << refused.error;
    EXPECT_EQ(snapshot(out), published) << json(extra).dump();
  }

  const std::int64_t expires = now + 7 * 86'400;
  const auto resigned = run.runProgram(
      TOVE_TEST_SPARKLER, {"sign", "--key", work / "old.pem", "--key", work / "new.pem",
                           "--manifest", out / "_.json", "--expires-at", sig::formatTime(expires)});
  ASSERT_EQ(resigned.status, 0) << resigned.error;
  for (const auto& trusted : {oldKey, newKey}) {
    EXPECT_EQ(verdict(trusted).state, sig::State::valid);
    EXPECT_EQ(verdict(trusted).expires, expires);
  }
  writeFile(work / "large.json", "[" + std::string(Manifest::kMaximumSize, ' ') + "]",
            fs::perms(0644));
  writeFile(work / "object.json", "{}", fs::perms(0644));
  for (const char* name : {"large.json", "object.json"}) {
    const auto refused = run.runProgram(
        TOVE_TEST_SPARKLER, {"sign", "--key", work / "old.pem", "--manifest", work / name});
    EXPECT_EQ(refused.status, 1) << name;
    EXPECT_FALSE(fs::exists(work / (name + std::string(".sig")))) << name;
  }
  // What is not a key file is refused in words, without waiting on a pipe or reading a huge
  // file through.
  fs::create_directory(work / "folder.pem");
  ASSERT_EQ(::mkfifo((work / "pipe.pem").c_str(), 0600), 0);
  fs::create_symlink(work / "old.pem", work / "link.pem");
  writeFile(work / "huge.pem", std::string(std::size_t{1} << 20, 'A'), fs::perms(0600));
  const auto signature = readFile(out / "_.json.sig");
  for (const auto& [key, words] : {std::pair{"folder.pem", "is not a regular file"},
                                   {"pipe.pem", "is not a regular file"},
                                   {"link.pem", "is a symbolic link"},
                                   {"huge.pem", "is larger than 16384 bytes"}}) {
    const auto refused = run.runProgram(
        TOVE_TEST_SPARKLER, {"sign", "--key", work / key, "--manifest", out / "_.json"});
    EXPECT_EQ(refused.status, 1) << key;
    EXPECT_NE(refused.error.find(words), std::string::npos) << refused.error;
  }
  EXPECT_EQ(readFile(out / "_.json.sig"), signature);
}

// The schema refuses every entry the updater refuses: a wrong type, a missing field, a size outside
// 1 to 50,000,000, a digest that can never match, a name that is not one plain file name of at
// most 255 bytes, and a version that does not read as one. The tool reads versions as it does.
TEST_F(PublishTest, ManifestSchemaRefusesWhatTheUpdaterRefuses) {
  const json good = {{"version", "1.0.1"},
                     {"name", "Tove-1.0.1.dmg"},
                     {"hash", "0123456789abcdef0123456789abcdef"},
                     {"size", 4096}};
  // Changes to the good entry (null leaves a field out).
  json taken = json::parse(R"([
    {}, {"size": 50000000}, {"size": 1.0}, {"notes": "kept, ignored"}, {"name": "T\u00f6ve.dmg"},
    {"version": "0.0.1"}, {"version": "65535.0.0"}, {"version": "007.1"},
    {"sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}])");
  json refused = json::parse(R"([
    {"version": null}, {"name": null}, {"hash": null}, {"size": null},
    {"size": -1}, {"size": 0}, {"size": 50000001}, {"size": 1.5}, {"size": "4096"},
    {"hash": "0123456789ABCDEF0123456789ABCDEF"}, {"hash": "0123456789abcdef"},
    {"hash": "0123456789abcdef0123456789abcdeg"}, {"hash": "0123456789abcdef0123456789abcdef\n"},
    {"name": ""}, {"name": "a/b"}, {"name": ".."},
    {"version": 1}, {"version": "1.2-beta"}, {"version": "0.0"}, {"version": "65536"},
    {"version": "1.2.3.4"}, {"sha256": 1},
    {"sha256": "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
    {"sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b85"}])");
  const char* const characters[] = {"n", "\u00f6", "\u20ac", "\U0001F600"};  // 1 to 4 bytes
  for (int width = 1; width <= 4; ++width) {
    std::string name;
    for (int i = 0; i < 255 / width; ++i) name += characters[width - 1];
    taken.push_back({{"name", name}});
    refused.push_back({{"name", name + characters[width - 1]}});
  }
  const std::size_t takenCount = taken.size();
  std::vector<json> instances;
  for (const json* patches : {&taken, &refused}) {
    for (const auto& patch : *patches) {
      json entry = good;
      entry.merge_patch(patch);
      instances.push_back(json::array({entry}));
    }
  }
  instances.insert(instances.end(), {json::array(), good, json::array({json::array()})});
  const auto verdicts = conforms(instances);
  ASSERT_EQ(verdicts.size(), instances.size());
  for (std::size_t i = 0; i < instances.size(); ++i)
    EXPECT_EQ(verdicts[i], i < takenCount) << instances[i].dump().substr(0, 200);
  for (const auto& [version, status] :
       {std::pair{"0.0.1", 0}, {"65535.0.0", 0}, {"007.1", 0}, {"0.0", 1}, {"65536", 1}}) {
    EXPECT_EQ(run.runProgram(TOVE_TEST_SPARKLER, {"version", version}).status, status) << version;
  }
}

}  // namespace
}  // namespace sparkler::test

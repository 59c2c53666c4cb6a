// Updates for a bundle that trusts public keys, attacked through a real HTTPS server: whoever
// controls the server but not the maker's keys can make a check fail, never make it offer
// anything the maker did not sign.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "sparkler/Checksum.h"
#include "sparkler/DigestStream.h"
#include "sparkler/Dispatch.h"
#include "sparkler/Log.h"
#include "sparkler/ManifestSignature.h"
#include "sparkler/QuickTask.h"
#include "sparkler/Sparkler.h"
#include "sparkler/testing/HttpsServer.h"
#include "sparkler/testing/ManualMainLoop.h"
#include "sparkler/testing/TempHome.h"
#include "sparkler/testing/TestBundle.h"

namespace sparkler {
namespace {

namespace fs = std::filesystem;
namespace Signature = ManifestSignature;
using nlohmann::json;
using Key = std::shared_ptr<Signature::SigningKey>;
using State = Signature::State;

constexpr const char* kManifestPath = "/mac/_.json";
constexpr const char* kSignaturePath = "/mac/_.json.sig";
constexpr const char* kImagePath = "/mac/Tove-1.0.1.dmg";
constexpr std::int64_t kNow = 1'800'000'000;
constexpr std::int64_t kHour = 3600;

constexpr Sparkler::TimeLimits kLimits{.manifest = std::chrono::seconds(3),
                                       .imageFloor = std::chrono::seconds(3),
                                       .connect = std::chrono::seconds(5),
                                       .stall = std::chrono::seconds(1)};

std::string sha256Of(std::string_view data) {
  DigestStream stream(DigestStream::Algorithm::sha256);
  stream.add(data);
  return *stream.hex();
}

json entry(std::string_view version, const std::string& image,
           std::string_view name = "Tove-1.0.1.dmg") {
  return {{"version", version},
          {"name", name},
          {"hash", *Checksum::MD5String(image)},
          {"size", image.size()},
          {"sha256", sha256Of(image)}};
}

Key newKey() {
  std::string reason;
  auto key = Signature::SigningKey::generate(&reason);
  EXPECT_TRUE(key) << reason;
  return key;
}

std::string base64(const Key& key) {
  return Signature::toBase64(key->publicKey());
}

std::string sign(std::string_view manifest, const Key& key, std::int64_t expires = kNow + kHour) {
  return Signature::signFile(manifest, expires, std::vector<Key>{key});
}

std::string list(const json& newest) {
  return json::array({newest}).dump();
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

// The stable name of `error`'s code, "none" without one.
std::string codeOf(const std::optional<SparklerError>& error) {
  return error ? errorCodeName(error->code) : "none";
}

// A bundle of version 1.0.0 whose Info.plist holds `value` under "SparklerPublicKeys" (none
// when empty).
fs::path bundleWithKeys(const fs::path& parent, const std::string& value) {
  const fs::path bundle = testing::makeTestBundle(parent, "Tove", "1.0.0", "org.tove.Tove");
  if (value.empty()) return bundle;
  const fs::path plist = bundle / "Contents" / "Info.plist";
  std::string text = testing::readFile(plist);
  text.insert(text.find("</dict>"), "  <key>SparklerPublicKeys</key>" + value + "\n");
  testing::writeFile(plist, text);
  return bundle;
}

class SignedUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok());
    ASSERT_TRUE(maker && rotated && outsider);
    dispatch::setMainLoop(loop);
    Log::setSink([this](std::string_view line) {
      std::lock_guard lock(logMutex);
      logLines.emplace_back(line);
    });
    bundle =
        bundleWithKeys(home.temporary(), "<array><string>" + base64(maker) + "</string><string>" +
                                             base64(rotated) + "</string></array>");
  }

  void TearDown() override {
    Log::setSink({});
    dispatch::setMainLoop(nullptr);
  }

  // An updater of its own, with a cache folder of its own, whose wall clock reads `now`.
  std::shared_ptr<Sparkler> make(SparklerError* error = nullptr, fs::path app = {}) {
    SparklerConfiguration c;
    c.manifestURL = server.url(kManifestPath);
    c.bundle = app.empty() ? bundle : app;
    c.cacheFolder = home.temporary() / "caches" / std::to_string(++made) / "software";
    c.extraCAFile = server.caFile();
    c.timeLimits = kLimits;
    fs::create_directories(c.cacheFolder);
    return Sparkler::create(c, {.mainLoop = loop, .wallClock = [this] { return now.load(); }},
                            error);
  }

  void publish(const std::string& manifest, const std::optional<std::string>& signature) {
    server.putFile(kManifestPath, manifest);
    if (signature) {
      server.putFile(kSignaturePath, *signature);
      server.setStatus(kSignaturePath, 200);
    } else {
      server.setStatus(kSignaturePath, 404);
    }
  }

  std::vector<std::string> takeLog() {
    std::lock_guard lock(logMutex);
    return std::exchange(logLines, {});
  }

  testing::TempHome home;
  testing::HttpsServer server;
  std::shared_ptr<testing::ManualMainLoop> loop = std::make_shared<testing::ManualMainLoop>();
  Key maker = newKey(), rotated = newKey(), outsider = newKey();
  fs::path bundle;
  std::atomic<std::int64_t> now{kNow};
  int made = 0;
  const std::string image = std::string(50'000, 'i');
  std::mutex logMutex;
  std::vector<std::string> logLines;
};

// Every row is a fresh updater of the bundle (or of one without keys) against what the server
// serves. A manifest that is not signed by a trusted key in date is refused before it is read:
// no list, no image asked for.
TEST_F(SignedUpdateTest, OnlyManifestsSignedByATrustedKeyInDateAreReadAndTheirImagesMustMatch) {
  const std::string manifest = list(entry("1.0.1", image));
  std::string oneByte = manifest;
  oneByte[oneByte.find("Tove")] = 'U';
  // The attacker's own image, listed with its true MD5 and SHA-256.
  const std::string evil(image.size(), 'e');
  const std::string evilManifest = list(entry("1.0.1", evil));
  json noSHA256 = entry("1.0.1", image), otherSHA256 = noSHA256, malformed = noSHA256;
  noSHA256.erase("sha256");
  otherSHA256["sha256"] = sha256Of("another image");
  malformed["sha256"] = "NOT-A-DIGEST";
  const fs::path plain = bundleWithKeys(home.temporary() / "plain", "");
  const std::int64_t skew = Signature::kClockSkewSeconds;

  struct Attack {
    const char* what;
    std::string manifest;
    std::optional<std::string> signature;
    std::string code;            // of the check's failure; "none": the update is offered
    std::optional<State> state;  // nullopt: a bundle without keys, no signature required
    std::string cause = {};
  };
  const Attack attacks[] = {
      {"signed by the maker", manifest, sign(manifest, maker), "none", State::valid},
      {"signed by the rotated key", manifest, sign(manifest, rotated), "none", State::valid},
      {"expired beyond the skew", manifest, sign(manifest, maker, kNow - skew - 1),
       "signature-expired", State::expired,
       "the update manifest's signature expired on " + Signature::formatTime(kNow - skew - 1)},
      {"one byte changed", oneByte, sign(manifest, maker), "signature-invalid", State::bad},
      {"no signature file", manifest, std::nullopt, "signature-missing", State::missing,
       "HTTP status 404"},
      // Unsigned text never reaches the parser: refused as unsigned, not as unreadable.
      {"unsigned and not JSON", "[{", std::nullopt, "signature-missing", State::missing},
      {"truncated", manifest, sign(manifest, maker).substr(0, 60), "signature-invalid", State::bad},
      {"by another key", manifest, sign(manifest, outsider), "signature-untrusted",
       State::untrusted},
      {"an older manifest's signature", manifest, sign(list(entry("1.0.0", "old")), maker),
       "signature-invalid", State::bad},
      {"image and its digests replaced", evilManifest, sign(manifest, maker), "signature-invalid",
       State::bad},
      {"no sha256", list(noSHA256), sign(list(noSHA256), maker), "newest-entry-invalid",
       State::valid, "\"sha256\""},
      {"another image's sha256", list(otherSHA256), sign(list(otherSHA256), maker),
       "image-mismatch", State::valid, "does not match its digest"},
      // Without keys nothing changes, but that a well-formed "sha256" is checked too.
      {"no keys, malformed sha256", list(malformed), std::nullopt, "none", std::nullopt},
      {"no keys, another image's sha256", list(otherSHA256), std::nullopt, "image-mismatch",
       std::nullopt, "does not match its digest"},
  };
  for (const auto& attack : attacks) {
    SCOPED_TRACE(attack.what);
    publish(attack.manifest, attack.signature);
    server.putFile(kImagePath, attack.manifest == evilManifest ? evil : image);
    const std::size_t imageRequests = server.requestCount(kImagePath);
    auto updater = make(nullptr, attack.state ? bundle : plain);
    ASSERT_TRUE(updater);
    takeLog();
    EXPECT_EQ(updater->coreCheck(), attack.code == "none");
    const auto verdict = updater->lastSignature();
    EXPECT_EQ(verdict ? std::optional(verdict->state) : std::nullopt, attack.state);
    const auto error = updater->lastError();
    EXPECT_EQ(codeOf(error), attack.code) << (error ? error->message : "");
    if (!error) continue;
    EXPECT_TRUE(contains(error->message, attack.cause)) << error->message;
    EXPECT_EQ(takeLog(), std::vector<std::string>{"UPDATE CHECK FAILED: " + error->message});
    if (attack.state && attack.state != State::valid) {
      EXPECT_TRUE(contains(error->message, "cannot trust the manifest")) << error->message;
      EXPECT_FALSE(updater->updates());
      EXPECT_EQ(server.requestCount(kImagePath), imageRequests);
    }
  }
}

// What a check verified is judged again where it is used. "Not modified" saves the manifest's
// transfer, not the judgement of its signature: the kept bytes are verified against the
// signature file fetched anew. And the image is checked once more right before it is attached:
// a copy altered in the cache since is removed, and nothing is attached.
TEST_F(SignedUpdateTest, NotModifiedManifestsAndCachedImagesAreJudgedAgain) {
  // A signed name is still only quoted: its line break cannot start a line of its own. (Its
  // image is in the cache already.)
  const std::string name = "Tove\nFORGED 1.0.1.dmg";
  const std::string manifest = list(entry("1.0.1", image, name));
  server.setEntityTag(kManifestPath, "\"v1\"");
  publish(manifest, sign(manifest, maker));
  auto updater = make();
  ASSERT_TRUE(updater);
  ASSERT_TRUE(updater->folder());
  const fs::path cached = *updater->folder() + "/" + name;
  testing::writeFile(cached, image);
  EXPECT_TRUE(updater->coreCheck());
  // From now on only the kept bytes can pass: the server's file is no manifest at all.
  server.putFile(kManifestPath, "not a manifest");

  now = kNow + kHour + Signature::kClockSkewSeconds + 1;
  EXPECT_FALSE(updater->coreCheck());
  EXPECT_EQ(codeOf(updater->lastError()), "signature-expired");

  server.putFile(kSignaturePath, sign(manifest, maker, now + kHour));
  ASSERT_TRUE(updater->coreCheck()) << updater->lastError()->message;
  EXPECT_EQ(updater->lastSignature()->expires, now + kHour);
  EXPECT_EQ(server.requestCount(kManifestPath), 3u);

  // Each installation's outcome, as handed to its caller.
  std::vector<bool> outcomes;
  const auto install = [&] {
    EXPECT_TRUE(updater->update([&](bool installed) { outcomes.push_back(installed); }));
    ASSERT_TRUE(loop->waitForPost());
    loop->runPosted();
  };
  testing::writeFile(cached, std::string(image.size(), 'x'));
  updater->setUpdateAvailable(true);
  install();
  EXPECT_EQ(outcomes, std::vector<bool>{false});
  EXPECT_EQ(codeOf(updater->lastError()), "image-mismatch");
  EXPECT_TRUE(contains(updater->lastError()->message, "Tove\\nFORGED"))
      << updater->lastError()->message;
  EXPECT_FALSE(fs::exists(cached));

  // A list set by hand was never signed: its entry is not installed, however well its image
  // matches it.
  const std::string other(image.size(), 'o');
  testing::writeFile(cached, other);
  updater->setUpdates(std::make_shared<const json>(json::array({entry("1.0.2", other, name)})));
  install();
  EXPECT_EQ(outcomes, (std::vector<bool>{false, false}));
  EXPECT_EQ(codeOf(updater->lastUpdateError()), "signature-missing");
}

// Keys are never silently dropped: one that does not decode, or a value under the key that
// is no list of keys, makes the configuration unusable rather than verification off.
TEST_F(SignedUpdateTest, KeysThatCannotBeUsedAreRefusedWithTheConfiguration) {
  const std::string notAList = "SparklerPublicKeys is not a list of 1 to 64 public keys";
  const std::pair<std::string, std::string> values[] = {
      {"<array><string>" + base64(maker) + "</string><string>not a key</string></array>",
       "public key 2 (\"not a key\") is not a base64 Ed25519 key"},
      {"<string>" + base64(maker) + "</string>", notAList},
      {"<array/>", notAList},
  };
  int n = 0;
  for (const auto& [value, cause] : values) {
    SparklerError error;
    EXPECT_FALSE(make(&error, bundleWithKeys(home.temporary() / std::to_string(++n), value)));
    EXPECT_EQ(codeOf(error), "unusable-configuration");
    EXPECT_TRUE(contains(error.message, cause)) << error.message;
  }
  // Usable keys are the configuration's, as the bundle lists them.
  const auto updater = make();
  ASSERT_TRUE(updater);
  EXPECT_EQ(updater->configuration().publicKeys,
            (std::vector<std::string>{base64(maker), base64(rotated)}));
}

// `sparkler check` tells what became of the signature, with its expiry.
TEST_F(SignedUpdateTest, CheckCommandReportsTheSignature) {
  const std::string manifest = list(entry("1.0.1", image));
  server.putFile(kImagePath, image);
  // The tool judges expiry by the system's clock.
  const std::int64_t wall = std::time(nullptr);
  for (const auto& [expires, state] :
       {std::pair{wall + kHour, "valid"}, {wall - kHour, "expired"}}) {
    publish(manifest, sign(manifest, maker, expires));
    const auto run = QuickTask::run(
        TOVE_TEST_SPARKLER,
        Arguments{{"check", "--bundle", bundle.string(), "--manifest", server.url(kManifestPath),
                   "--ca-file", server.caFile().string()}},
        RunOptions{std::chrono::seconds(60), 1 << 20, 1 << 16});
    const auto shown = json::parse(run.output, nullptr, false);
    SCOPED_TRACE(run.output + run.error);
    EXPECT_EQ(shown["signature"]["state"], state);
    EXPECT_EQ(shown["signature"]["expires"], Signature::formatTime(expires));
    EXPECT_EQ(run.status, std::string_view(state) == "valid" ? 0 : 1);
  }
}

}  // namespace
}  // namespace sparkler

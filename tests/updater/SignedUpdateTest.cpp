// Updates for a bundle that trusts public keys, attacked through a real HTTPS server: whoever
// controls the server but not the maker's keys can make a check fail, never make it offer
// anything the maker did not sign.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
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

json entry(std::string_view version, const std::string& image) {
  return {{"version", version},
          {"name", "Tove-1.0.1.dmg"},
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
  const auto bytes = key->publicKey();
  return Signature::toBase64(bytes);
}

std::string sign(std::string_view manifest, std::int64_t expires, const Key& key) {
  return Signature::signFile(manifest, expires, std::vector<Key>{key});
}

// A bundle of version 1.0.0 whose Info.plist lists `keys` under "SparklerPublicKeys", or
// holds `value` there as it is.
fs::path bundleWithKeys(const fs::path& parent, const std::vector<std::string>& keys,
                        std::string value = {}) {
  const fs::path bundle = testing::makeTestBundle(parent, "Tove", "1.0.0", "org.tove.Tove");
  if (value.empty()) {
    value = "<array>";
    for (const auto& key : keys) value += "<string>" + key + "</string>";
    value += "</array>";
  }
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
    bundle = bundleWithKeys(home.temporary(), {base64(maker), base64(rotated)});
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

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

TEST_F(SignedUpdateTest, OnlyManifestsSignedByATrustedKeyInDateAreReadAndTheirImagesMustMatch) {
  const std::string manifest = json::array({entry("1.0.1", image)}).dump();
  const std::string older = json::array({entry("1.0.0", "old image")}).dump();
  const std::string expiry = Signature::formatTime(kNow - Signature::kClockSkewSeconds - 1);
  std::string oneByte = manifest;
  oneByte[oneByte.find("Tove")] = 'U';
  // The attacker's own image, listed with its true MD5 and SHA-256.
  const std::string evil(50'000, 'e');
  const std::string evilManifest = json::array({entry("1.0.1", evil)}).dump();
  json noSHA256 = entry("1.0.1", image);
  noSHA256.erase("sha256");
  json otherSHA256 = entry("1.0.1", image);
  otherSHA256["sha256"] = sha256Of("another image");

  struct Attack {
    const char* what;
    std::string manifest;
    std::optional<std::string> signature;
    std::optional<SparklerErrc> errc;  // nullopt: the update is offered
    State state;
    std::string cause;
  };
  const std::string bad = "does not verify";
  const Attack attacks[] = {
      {"signed by the maker", manifest, sign(manifest, kNow + kHour, maker), {}, State::valid, ""},
      {"signed by the rotated key",
       manifest,
       sign(manifest, kNow + kHour, rotated),
       {},
       State::valid,
       ""},
      {"expired within the skew",
       manifest,
       sign(manifest, kNow - Signature::kClockSkewSeconds + 1, maker),
       {},
       State::valid,
       ""},
      {"expired beyond the skew", manifest,
       sign(manifest, kNow - Signature::kClockSkewSeconds - 1, maker),
       SparklerErrc::signatureExpired, State::expired,
       "the update manifest's signature expired on " + expiry},
      {"one byte changed", oneByte, sign(manifest, kNow + kHour, maker),
       SparklerErrc::signatureInvalid, State::bad, ""},
      {"no signature file", manifest, std::nullopt, SparklerErrc::signatureMissing, State::missing,
       "HTTP status 404"},
      {"not JSON and unsigned", "[{\"version\":", std::nullopt, SparklerErrc::signatureMissing,
       State::missing, "cannot be fetched"},
      {"truncated signature", manifest, sign(manifest, kNow + kHour, maker).substr(0, 60),
       SparklerErrc::signatureInvalid, State::bad, ""},
      {"signed by another key", manifest, sign(manifest, kNow + kHour, outsider),
       SparklerErrc::signatureUntrusted, State::untrusted, ""},
      {"signature of an older manifest", manifest, sign(older, kNow + kHour, maker),
       SparklerErrc::signatureInvalid, State::bad, ""},
      {"image replaced, unsigned manifest", evilManifest, sign(manifest, kNow + kHour, maker),
       SparklerErrc::signatureInvalid, State::bad, ""},
      {"no sha256", json::array({noSHA256}).dump(),
       sign(json::array({noSHA256}).dump(), kNow + kHour, maker), SparklerErrc::newestEntryInvalid,
       State::valid, "\"sha256\""},
      {"sha256 of another image", json::array({otherSHA256}).dump(),
       sign(json::array({otherSHA256}).dump(), kNow + kHour, maker), SparklerErrc::imageMismatch,
       State::valid, "does not match its digest"},
  };
  for (const auto& attack : attacks) {
    SCOPED_TRACE(attack.what);
    publish(attack.manifest, attack.signature);
    server.putFile(kImagePath, attack.manifest == evilManifest ? evil : image);
    const std::size_t imageRequests = server.requestCount(kImagePath);
    auto updater = make();
    ASSERT_TRUE(updater);
    takeLog();
    const bool available = updater->coreCheck();
    const auto error = updater->lastError();
    const auto verdict = updater->lastSignature();
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->state, attack.state) << verdict->reason;
    if (!attack.errc) {
      EXPECT_TRUE(available);
      EXPECT_FALSE(error) << error->message;
      EXPECT_EQ(takeLog(), std::vector<std::string>{});
      continue;
    }
    EXPECT_FALSE(available);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, *attack.errc) << error->message;
    EXPECT_TRUE(contains(error->message, attack.cause)) << error->message;
    EXPECT_EQ(takeLog(), std::vector<std::string>{"UPDATE CHECK FAILED: " + error->message});
    if (attack.state != State::valid) {
      // Refused before it was read: no list, no image asked for.
      EXPECT_TRUE(contains(error->message, "cannot trust the manifest")) << error->message;
      EXPECT_FALSE(updater->updates());
      EXPECT_EQ(server.requestCount(kImagePath), imageRequests);
    }
  }
}

// "Not modified" saves the manifest's transfer, not the judgement of its signature: the kept
// bytes are verified against the signature file fetched anew at every check.
TEST_F(SignedUpdateTest, NotModifiedManifestsAreStillJudgedByTheirSignaturesExpiry) {
  const std::string manifest = json::array({entry("1.0.1", image)}).dump();
  server.putFile(kImagePath, image);
  server.setEntityTag(kManifestPath, "\"v1\"");
  publish(manifest, sign(manifest, kNow + kHour, maker));
  auto updater = make();
  ASSERT_TRUE(updater);
  EXPECT_TRUE(updater->coreCheck());
  // From now on only the kept bytes can pass: the server's file is no manifest at all.
  server.putFile(kManifestPath, "not a manifest");

  now = kNow + kHour + Signature::kClockSkewSeconds + 1;
  EXPECT_FALSE(updater->coreCheck());
  ASSERT_TRUE(updater->lastError());
  EXPECT_EQ(updater->lastError()->code, SparklerErrc::signatureExpired);
  EXPECT_FALSE(updater->updateAvailable());

  server.putFile(kSignaturePath, sign(manifest, now + kHour, maker));
  EXPECT_TRUE(updater->coreCheck()) << updater->lastError()->message;
  EXPECT_EQ(updater->lastSignature()->expires, now + kHour);
  EXPECT_EQ(server.requestCount(kManifestPath), 3u);
}

// The image verified by a check is checked again right before it is attached: a copy altered
// in the cache since is refused and removed, and nothing is attached.
TEST_F(SignedUpdateTest, AnImageAlteredAfterTheCheckIsNeverAttached) {
  const std::string manifest = json::array({entry("1.0.1", image)}).dump();
  server.putFile(kImagePath, image);
  publish(manifest, sign(manifest, kNow + kHour, maker));
  auto updater = make();
  ASSERT_TRUE(updater);
  ASSERT_TRUE(updater->coreCheck());
  updater->setUpdateAvailable(true);
  const auto cached = updater->cachedPath("Tove-1.0.1.dmg");
  ASSERT_TRUE(cached);
  testing::writeFile(*cached, std::string(image.size(), 'x'));

  std::vector<bool> outcomes;
  EXPECT_TRUE(updater->update([&](bool installed) { outcomes.push_back(installed); }));
  ASSERT_TRUE(loop->waitForPost());
  loop->runPosted();
  EXPECT_EQ(outcomes, std::vector<bool>{false});
  ASSERT_TRUE(updater->lastError());
  EXPECT_EQ(updater->lastError()->code, SparklerErrc::imageMismatch)
      << updater->lastError()->message;
  EXPECT_FALSE(fs::exists(*cached));
}

// Keys are never silently dropped: one that does not decode, or a value under the key that
// is no list of keys, makes the configuration unusable rather than verification off.
TEST_F(SignedUpdateTest, KeysThatCannotBeUsedAreRefusedWithTheConfiguration) {
  const std::pair<fs::path, std::string> bundles[] = {
      {bundleWithKeys(home.temporary() / "a", {base64(maker), "not a key"}),
       "public key 2 (\"not a key\") is not a base64 Ed25519 key"},
      {bundleWithKeys(home.temporary() / "b", {}, "<string>" + base64(maker) + "</string>"),
       "SparklerPublicKeys is not a list of 1 to 64 public keys"},
      {bundleWithKeys(home.temporary() / "c", {}, "<array/>"), "SparklerPublicKeys is not a list"},
  };
  for (const auto& [app, cause] : bundles) {
    SparklerError error;
    takeLog();
    EXPECT_FALSE(make(&error, app));
    EXPECT_EQ(error.code, SparklerErrc::unusableConfiguration);
    EXPECT_TRUE(contains(error.message, cause)) << error.message;
    EXPECT_EQ(takeLog(),
              std::vector<std::string>{"Cannot configure the updater: " + error.message});
  }
  auto updater = make();
  ASSERT_TRUE(updater);
  EXPECT_TRUE(updater->requiresSignature());
  EXPECT_EQ(updater->configuration().publicKeys,
            (std::vector<std::string>{base64(maker), base64(rotated)}));
}

// Without keys a manifest is read unsigned, as always; an entry's "sha256" is checked when it
// is well formed and ignored otherwise, so that no bundle without keys starts failing for it.
TEST_F(SignedUpdateTest, WithoutKeysOnlyAWellFormedSHA256IsChecked) {
  const fs::path plain =
      testing::makeTestBundle(home.temporary() / "plain", "Tove", "1.0.0", "org.tove.Tove");
  server.putFile(kImagePath, image);
  server.setStatus(kSignaturePath, 404);
  for (const auto& [sha256, errc] :
       {std::pair{std::string("NOT-A-DIGEST"), std::optional<SparklerErrc>()},
        {sha256Of("another image"), SparklerErrc::imageMismatch}}) {
    json newest = entry("1.0.1", image);
    newest["sha256"] = sha256;
    server.putFile(kManifestPath, json::array({newest}).dump());
    auto updater = make(nullptr, plain);
    ASSERT_TRUE(updater);
    EXPECT_FALSE(updater->requiresSignature());
    EXPECT_EQ(updater->coreCheck(), !errc) << sha256;
    EXPECT_EQ(updater->lastError() ? std::optional(updater->lastError()->code) : std::nullopt,
              errc ? std::optional(make_error_code(*errc)) : std::nullopt);
    EXPECT_FALSE(updater->lastSignature());
  }
}

// `sparkler check` tells what became of the signature, with its expiry, and why it failed.
TEST_F(SignedUpdateTest, CheckCommandReportsTheSignature) {
  const std::string manifest = json::array({entry("1.0.1", image)}).dump();
  server.putFile(kImagePath, image);
  // The tool judges expiry by the system's clock.
  const std::int64_t wall = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
  for (const auto& [expires, state] :
       {std::pair{wall + kHour, "valid"}, {wall - kHour, "expired"}}) {
    publish(manifest, sign(manifest, expires, maker));
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

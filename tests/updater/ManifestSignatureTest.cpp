#include "sparkler/ManifestSignature.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <vector>

#include "sparkler/testing/TempDir.h"

namespace sparkler::ManifestSignature {
namespace {

using nlohmann::json;
using Keys = std::vector<std::shared_ptr<SigningKey>>;

constexpr std::string_view kManifest =
    R"([{"version": "1.0.1", "name": "Tove-1.0.1.dmg", "hash": "0123", "size": 12}])";
constexpr std::int64_t kNow = 1'800'000'000;
constexpr std::int64_t kExpires = kNow + 86'400;

std::shared_ptr<SigningKey> newKey() {
  std::string reason;
  auto key = SigningKey::generate(&reason);
  EXPECT_NE(key, nullptr) << reason;
  return key;
}

std::string withJson(const std::string& file, const std::function<void(json&)>& change) {
  json parsed = json::parse(file);
  change(parsed);
  return parsed.dump();
}

// Every way a manifest and its signature file can be tampered with, against a bundle that
// trusts `a` and `b` (a key rotation's overlap), but not `other`.
TEST(ManifestSignature, TellsTamperedUntrustedAndExpiredSignaturesFromValidOnes) {
  const auto a = newKey(), b = newKey(), other = newKey();
  const std::vector<PublicKey> trusted = {a->publicKey(), b->publicKey()};
  const std::string byA = signFile(kManifest, kExpires, Keys{a});
  std::string changedManifest(kManifest);
  changedManifest[changedManifest.find("1.0.1")] = '2';
  std::string tooMany = withJson(byA, [](json& file) {
    auto first = file["signatures"][0];
    for (std::size_t i = 0; i < kMaximumSignatures; ++i) file["signatures"].push_back(first);
  });

  struct Case {
    const char* what;
    std::string manifest;
    std::string file;
    std::int64_t now;
    State state;
  };
  const std::vector<Case> cases = {
      {"signed by a", std::string(kManifest), byA, kNow, State::valid},
      {"signed by b", std::string(kManifest), signFile(kManifest, kExpires, Keys{b}), kNow,
       State::valid},
      {"signed by another key and by b", std::string(kManifest),
       signFile(kManifest, kExpires, Keys{other, b}), kNow, State::valid},
      {"signed by another key", std::string(kManifest), signFile(kManifest, kExpires, Keys{other}),
       kNow, State::untrusted},
      {"manifest changed by one byte", changedManifest, byA, kNow, State::bad},
      {"signature of an older manifest", changedManifest, signFile("[]", kExpires, Keys{a}), kNow,
       State::bad},
      {"expiry moved later", std::string(kManifest),
       withJson(byA, [](json& file) { file["expires"] = formatTime(kExpires + 86'400); }), kNow,
       State::bad},
      {"signature bytes changed", std::string(kManifest),
       withJson(byA,
                [](json& file) {
                  auto& text = file["signatures"][0]["signature"].get_ref<std::string&>();
                  text[0] = text[0] == 'A' ? 'B' : 'A';
                }),
       kNow, State::bad},
      {"within the clock skew past expiry", std::string(kManifest), byA,
       kExpires + kClockSkewSeconds, State::valid},
      {"beyond the clock skew past expiry", std::string(kManifest), byA,
       kExpires + kClockSkewSeconds + 1, State::expired},
      {"truncated", std::string(kManifest), byA.substr(0, byA.size() / 2), kNow, State::bad},
      {"empty", std::string(kManifest), "", kNow, State::bad},
      {"not an object", std::string(kManifest), "[]", kNow, State::bad},
      {"no signatures", std::string(kManifest),
       withJson(byA, [](json& file) { file["signatures"] = json::array(); }), kNow, State::bad},
      {"expiry not UTC", std::string(kManifest),
       withJson(byA, [](json& file) { file["expires"] = "2027-01-06T06:30:00+01:00"; }), kNow,
       State::bad},
      {"key of 31 bytes", std::string(kManifest),
       withJson(byA,
                [](json& file) {
                  file["signatures"][0]["key"] = toBase64(std::vector<unsigned char>(31, 7));
                }),
       kNow, State::bad},
      {"key spelled with a non-canonical last digit", std::string(kManifest),
       withJson(byA,
                [](json& file) {
                  auto& text = file["signatures"][0]["key"].get_ref<std::string&>();
                  // Sets one of the two bits past the key's 256, which decoding drops.
                  const std::string_view digits =
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
                  text[42] = digits[digits.find(text[42]) ^ 1];
                }),
       kNow, State::bad},
      {"over-size", std::string(kManifest), byA + std::string(kMaximumFileSize, ' '), kNow,
       State::bad},
      {"too many signatures", std::string(kManifest), tooMany, kNow, State::bad},
      {"nested too deep", std::string(kManifest),
       withJson(byA, [](json& file) { file["extra"] = json::parse("[[[1]]]"); }), kNow, State::bad},
  };
  for (const auto& test : cases) {
    const Verdict verdict = verify(test.manifest, test.file, trusted, test.now);
    EXPECT_EQ(stateName(verdict.state), stateName(test.state))
        << test.what << ": " << verdict.reason;
    EXPECT_EQ(verdict.reason.empty(), test.state == State::valid) << test.what;
    EXPECT_LT(verdict.reason.size(), 200u) << test.what;
  }
  EXPECT_EQ(verify(kManifest, byA, trusted, kExpires + kClockSkewSeconds + 1).reason,
            "the update manifest's signature expired on " + formatTime(kExpires));
  EXPECT_EQ(verify(kManifest, byA, trusted, kNow).expires, kExpires);
}

// The layout other tools must reproduce to sign a manifest, and the forms of its fields.
TEST(ManifestSignature, WritesAndReadsTheDocumentedForms) {
  using namespace std::string_literals;
  EXPECT_EQ(signedMessage("[]", 0x0102030405060708),
            "sparkler-manifest-v1\0\x01\x02\x03\x04\x05\x06\x07\x08[]"s);
  EXPECT_EQ(toBase64(std::vector<unsigned char>{'f', 'o', 'o', 'b'}), "Zm9vYg==");

  EXPECT_EQ(formatTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(parseTime("2028-02-29T23:59:59Z"), 1835481599);
  EXPECT_EQ(parseTime(formatTime(kExpires)), kExpires);
  for (const char* wrong : {"2027-02-29T00:00:00Z", "2027-04-31T00:00:00Z", "2027-13-01T00:00:00Z",
                            "2027-00-10T00:00:00Z", "2027-01-00T00:00:00Z", "2027-01-01T24:00:00Z",
                            "2027-01-01T00:60:00Z", "2027-01-01T00:00:60Z", "2027-01-01T00:00:00z",
                            "2027-01-01 00:00:00Z", "2027-01-01T00:00:00.5Z", "2027-01-01T00:00:00",
                            "+027-01-01T00:00:00Z", " 2027-01-01T00:00:00Z", ""}) {
    EXPECT_EQ(parseTime(wrong), std::nullopt) << wrong;
  }

  const PublicKey key = newKey()->publicKey();
  const std::string text = toBase64(key);
  EXPECT_EQ(publicKeyFromBase64(" " + text + "\n"), key);
  EXPECT_EQ(publicKeyFromBase64(text.substr(0, 43)), std::nullopt);
  EXPECT_EQ(publicKeyFromBase64(text.substr(0, 43) + "*"), std::nullopt);
  EXPECT_EQ(publicKeyFromBase64(toBase64(std::vector<unsigned char>(33, 1))), std::nullopt);
}

TEST(ManifestSignature, KeysSurviveSaveAndLoadAndAreNeverOverwritten) {
  sparkler::testing::TempDir dir;
  const auto path = dir.path() / "key.pem";
  const auto key = newKey();
  std::string reason;
  ASSERT_TRUE(key->save(path, &reason)) << reason;
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const std::string before = sparkler::testing::readFile(path);
  EXPECT_FALSE(newKey()->save(path, &reason));
  EXPECT_NE(reason.find(path.string()), std::string::npos) << reason;
  EXPECT_EQ(sparkler::testing::readFile(path), before);

  const auto loaded = SigningKey::load(path, &reason);
  ASSERT_NE(loaded, nullptr) << reason;
  EXPECT_EQ(loaded->publicKey(), key->publicKey());
  const std::vector<PublicKey> trusted = {key->publicKey()};
  EXPECT_EQ(verify(kManifest, signFile(kManifest, kExpires, Keys{loaded}), trusted, kNow).state,
            State::valid);

  ASSERT_TRUE(sparkler::testing::writeFile(dir.path() / "garbage.pem", before.substr(0, 40)));
  for (const char* name : {"garbage.pem", "missing.pem"}) {
    reason.clear();
    EXPECT_EQ(SigningKey::load(dir.path() / name, &reason), nullptr) << name;
    EXPECT_FALSE(reason.empty()) << name;
  }
}

}  // namespace
}  // namespace sparkler::ManifestSignature

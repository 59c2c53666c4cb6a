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

// Malformed and altered signature files, and the edge of the clock skew, against a bundle that
// trusts `a` and `b` (a key rotation's overlap). A manifest changed, a signature that is
// truncated, of another manifest, by another key or expired are refused through a real server
// in SignedUpdateTest.
TEST(ManifestSignature, RefusesSignatureFilesThatAreMalformedOrAltered) {
  const auto a = newKey(), b = newKey(), other = newKey();
  const std::vector<PublicKey> trusted = {a->publicKey(), b->publicKey()};
  const std::string byA = signFile(kManifest, kExpires, Keys{a});
  const auto changed = [&](const std::function<void(json&)>& change) {
    json file = json::parse(byA);
    change(file);
    return file.dump();
  };

  struct Case {
    const char* what;
    std::string file;
    State state = State::bad;
    std::int64_t now = kNow;
  };
  const Case cases[] = {
      // A signature by an unknown key is passed over, not held against the file.
      {"by another key and by b", signFile(kManifest, kExpires, Keys{other, b}), State::valid},
      {"at the end of the skew past expiry", byA, State::valid, kExpires + kClockSkewSeconds},
      {"expiry moved later",
       changed([](json& file) { file["expires"] = formatTime(kExpires + 86'400); })},
      {"signature bytes changed", changed([](json& file) {
         auto& text = file["signatures"][0]["signature"].get_ref<std::string&>();
         text[0] = text[0] == 'A' ? 'B' : 'A';
       })},
      {"empty", ""},
      {"not an object", "[]"},
      {"no signatures", changed([](json& file) { file["signatures"] = json::array(); })},
      {"expiry not UTC",
       changed([](json& file) { file["expires"] = "2027-01-06T06:30:00+01:00"; })},
      {"key of 31 bytes", changed([](json& file) {
         file["signatures"][0]["key"] = toBase64(std::vector<unsigned char>(31, 7));
       })},
      {"key spelled with a non-canonical last digit", changed([](json& file) {
         auto& text = file["signatures"][0]["key"].get_ref<std::string&>();
         // Sets one of the two bits past the key's 256, which decoding drops.
         const std::string_view digits =
             "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
         text[42] = digits[digits.find(text[42]) ^ 1];
       })},
      {"over-size", byA + std::string(kMaximumFileSize, ' ')},
      {"too many signatures", changed([](json& file) {
         const auto first = file["signatures"][0];
         for (std::size_t i = 0; i < kMaximumSignatures; ++i) file["signatures"].push_back(first);
       })},
      {"nested too deep", changed([](json& file) { file["extra"] = json::parse("[[[1]]]"); })},
  };
  for (const auto& test : cases) {
    const Verdict verdict = verify(kManifest, test.file, trusted, test.now);
    EXPECT_EQ(stateName(verdict.state), stateName(test.state))
        << test.what << ": " << verdict.reason;
    EXPECT_EQ(verdict.reason.empty(), test.state == State::valid) << test.what;
    EXPECT_LT(verdict.reason.size(), 200u) << test.what;
  }
}

// The layout other tools must reproduce to sign a manifest, and the forms of its fields.
TEST(ManifestSignature, WritesAndReadsTheDocumentedForms) {
  using namespace std::string_literals;
  EXPECT_EQ(signedMessage("[]", 0x0102030405060708),
            "sparkler-manifest-v1\0\x01\x02\x03\x04\x05\x06\x07\x08[]"s);
  EXPECT_EQ(toBase64(std::vector<unsigned char>{'f', 'o', 'o', 'b'}), "Zm9vYg==");

  EXPECT_EQ(formatTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(parseTime("2028-02-29T23:59:59Z"), 1835481599);
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
  for (const std::string& wrong : {text.substr(0, 43), text.substr(0, 43) + "*",
                                   toBase64(std::vector<unsigned char>(33, 1))}) {
    EXPECT_EQ(publicKeyFromBase64(wrong), std::nullopt) << wrong;
  }
}

// A saved key is readable by its owner alone and loads as the same key; an existing file is
// never overwritten, and one that holds no key is refused with why.
TEST(ManifestSignature, KeysSurviveSaveAndLoadAndAreNeverOverwritten) {
  sparkler::testing::TempDir dir;
  const auto path = dir.path() / "key.pem";
  const auto key = newKey();
  std::string reason;
  ASSERT_TRUE(key->save(path, &reason)) << reason;
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string saved = sparkler::testing::readFile(path);
  EXPECT_FALSE(newKey()->save(path, &reason));
  EXPECT_NE(reason.find(path.string()), std::string::npos) << reason;
  EXPECT_EQ(sparkler::testing::readFile(path), saved);

  const auto loaded = SigningKey::load(path, &reason);
  ASSERT_NE(loaded, nullptr) << reason;
  const std::vector<PublicKey> trusted = {key->publicKey()};
  EXPECT_EQ(verify(kManifest, signFile(kManifest, kExpires, Keys{loaded}), trusted, kNow).state,
            State::valid);

  ASSERT_TRUE(sparkler::testing::writeFile(dir.path() / "garbage.pem", saved.substr(0, 40)));
  for (const char* name : {"garbage.pem", "missing.pem"}) {
    reason.clear();
    EXPECT_EQ(SigningKey::load(dir.path() / name, &reason), nullptr) << name;
    EXPECT_FALSE(reason.empty()) << name;
  }
}

}  // namespace
}  // namespace sparkler::ManifestSignature

#include "tove/Checksum.h"

#include <gtest/gtest.h>

#include <string>

namespace tove {
namespace {

struct DigestCase {
  const char* data;
  const char* hex;
};

class ChecksumVectors : public testing::TestWithParam<DigestCase> {};

TEST_P(ChecksumVectors, MatchTheReferenceDigests) {
  const std::string data = GetParam().data;
  EXPECT_EQ(Checksum::MD5String(data), GetParam().hex);
  const auto digest = Checksum::MD5(data);
  ASSERT_TRUE(digest);
  std::string hex;
  for (const auto byte : *digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  EXPECT_EQ(hex, GetParam().hex);
}

// RFC 1321, appendix A.5 (the empty message is left out: empty data has no digest here).
INSTANTIATE_TEST_SUITE_P(
    Rfc1321, ChecksumVectors,
    testing::Values(
        DigestCase{"a", "0cc175b9c0f1b6a831c399e269772661"},
        DigestCase{"abc", "900150983cd24fb0d6963f7d28e17f72"},
        DigestCase{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        DigestCase{"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        DigestCase{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                   "d174ab98d277d9f5a5611c2c9f419d9f"},
        DigestCase{"1234567890123456789012345678901234567890123456789012345678901234567890123456"
                   "7890",
                   "57edf4a22be3c955ac49da2e2107b67a"}));

TEST(ChecksumEdges, EmptyDataHasNoDigest) {
  EXPECT_FALSE(Checksum::MD5(""));
  EXPECT_FALSE(Checksum::MD5String(""));
}

TEST(ChecksumEdges, HashesEmbeddedZeroBytesAndWritesLowercase) {
  const std::string zero(1, '\0');
  EXPECT_EQ(Checksum::MD5String(zero), "93b885adfe0da089cdf634904fd59f71");
  const auto text = Checksum::MD5String(std::string(1000, '\xAB'));
  ASSERT_TRUE(text);
  EXPECT_EQ(text->size(), 32u);
  EXPECT_EQ(text->find_first_not_of("0123456789abcdef"), std::string::npos);
}

}  // namespace
}  // namespace tove

#include "sparkler/Checksum.h"

#include <gtest/gtest.h>

#include <string>

#include "sparkler/MD5Stream.h"

namespace sparkler {
namespace {

TEST(Checksum, IsTheDigestOfAllTheBytesInLowercaseHexWholeOrStreamedAndNoneForEmptyData) {
  // RFC 1321, appendix A.5; a zero byte that C-string handling would drop; more than one block.
  const std::pair<std::string, const char*> cases[] = {
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {std::string(1, '\0'), "93b885adfe0da089cdf634904fd59f71"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456"
       "7890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  for (const auto& [data, hex] : cases) {
    EXPECT_EQ(Checksum::MD5String(data), hex) << data;
    // The same, streamed in uneven pieces; a finished stream gives nothing more.
    MD5Stream stream;
    for (std::size_t at = 0; at < data.size(); at += 7) stream.add(data.substr(at, 7));
    EXPECT_EQ(stream.hex(), hex) << data;
    EXPECT_EQ(stream.hex(), std::nullopt);
  }
  EXPECT_FALSE(Checksum::MD5String(""));

  // FIPS 180-4's example, streamed in pieces as images are.
  DigestStream sha256(DigestStream::Algorithm::sha256);
  sha256.add("a");
  sha256.add("bc");
  EXPECT_EQ(sha256.hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace sparkler

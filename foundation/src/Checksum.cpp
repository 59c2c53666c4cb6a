#include "sparkler/Checksum.h"

#include <openssl/evp.h>

#include "sparkler/CryptoLibrary.h"
#include "sparkler/Hex.h"

namespace sparkler::Checksum {

std::optional<Digest> MD5(std::string_view data) noexcept {
  if (data.empty()) return std::nullopt;
  initializeCryptoLibrary();
  Digest digest{};
  unsigned int length = 0;
  // EVP_Digest takes a size_t count, so data beyond 4 GiB is hashed whole.
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr) != 1 ||
      length != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

std::optional<std::string> MD5String(std::string_view data) {
  const auto digest = MD5(data);
  if (!digest) return std::nullopt;
  return Hex::encode(digest->data(), digest->size());
}

}  // namespace sparkler::Checksum

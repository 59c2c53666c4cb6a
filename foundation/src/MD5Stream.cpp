#include "sparkler/MD5Stream.h"

#include <openssl/evp.h>

#include "sparkler/CryptoLibrary.h"
#include "sparkler/Hex.h"

namespace sparkler {

MD5Stream::MD5Stream() noexcept : context_((initializeCryptoLibrary(), EVP_MD_CTX_new())) {
  ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_md5(), nullptr) == 1;
}

MD5Stream::~MD5Stream() {
  EVP_MD_CTX_free(context_);
}

void MD5Stream::add(std::string_view piece) noexcept {
  ok_ = ok_ && EVP_DigestUpdate(context_, piece.data(), piece.size()) == 1;
}

std::optional<std::string> MD5Stream::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool done = ok_ && EVP_DigestFinal_ex(context_, digest, &length) == 1 && length == 16;
  ok_ = false;
  if (!done) return std::nullopt;
  return Hex::encode(digest, length);
}

}  // namespace sparkler

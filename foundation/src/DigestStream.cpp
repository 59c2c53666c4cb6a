#include "sparkler/DigestStream.h"

#include <openssl/evp.h>

#include "sparkler/CryptoLibrary.h"
#include "sparkler/Hex.h"

namespace sparkler {
namespace {

const EVP_MD* digestOf(DigestStream::Algorithm algorithm) noexcept {
  return algorithm == DigestStream::Algorithm::sha256 ? EVP_sha256() : EVP_md5();
}

}  // namespace

DigestStream::DigestStream(Algorithm algorithm) noexcept
    : context_((initializeCryptoLibrary(), EVP_MD_CTX_new())) {
  ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, digestOf(algorithm), nullptr) == 1;
}

DigestStream::~DigestStream() {
  EVP_MD_CTX_free(context_);
}

void DigestStream::add(std::string_view piece) noexcept {
  ok_ = ok_ && EVP_DigestUpdate(context_, piece.data(), piece.size()) == 1;
}

std::optional<std::string> DigestStream::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool done = ok_ && EVP_DigestFinal_ex(context_, digest, &length) == 1 &&
                    static_cast<int>(length) == EVP_MD_CTX_get_size(context_);
  ok_ = false;
  if (!done) return std::nullopt;
  return Hex::encode(digest, length);
}

}  // namespace sparkler

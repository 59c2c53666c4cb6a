#include "sparkler/CryptoLibrary.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <mutex>

namespace sparkler {

void initializeCryptoLibrary() noexcept {
  static std::once_flag once;
  // The first initialisation of OpenSSL decides whether it registers its clean-up, so this
  // has to come before libcurl's and before any digest.
  std::call_once(once, [] {
    OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_SSL_STRINGS |
                         OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_LOAD_CONFIG,
                     nullptr);
  });
}

}  // namespace sparkler

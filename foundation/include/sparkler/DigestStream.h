#pragma once

#include <optional>
#include <string>
#include <string_view>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

namespace sparkler {

/// A digest of data that arrives in pieces: add() each piece in order, then hex() once.
class DigestStream {
 public:
  enum class Algorithm {
    md5,     // RFC 1321: 32 hexadecimal digits
    sha256,  // FIPS 180-4: 64 hexadecimal digits
  };

  explicit DigestStream(Algorithm algorithm) noexcept;
  ~DigestStream();
  DigestStream(const DigestStream&) = delete;
  DigestStream& operator=(const DigestStream&) = delete;

  void add(std::string_view piece) noexcept;

  /// The digest in lowercase hexadecimal digits; nullopt when it could not be made. Ends the
  /// stream: a second call, or an add() after it, gives nullopt.
  std::optional<std::string> hex();

 private:
  ::evp_md_ctx_st* context_;
  bool ok_ = false;
};

}  // namespace sparkler

#pragma once

#include <optional>
#include <string>
#include <string_view>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

namespace sparkler {

/// The MD5 digest of data that arrives in pieces, as Checksum::MD5String gives it for the
/// whole: add() each piece in order, then hex() once.
class MD5Stream {
 public:
  MD5Stream() noexcept;
  ~MD5Stream();
  MD5Stream(const MD5Stream&) = delete;
  MD5Stream& operator=(const MD5Stream&) = delete;

  void add(std::string_view piece) noexcept;

  /// 32 lowercase hexadecimal digits; nullopt when the digest could not be made. Ends the
  /// stream: a second call, or an add() after it, gives nullopt.
  std::optional<std::string> hex();

 private:
  ::evp_md_ctx_st* context_;
  bool ok_ = false;
};

}  // namespace sparkler

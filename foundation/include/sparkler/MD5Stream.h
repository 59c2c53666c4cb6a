#pragma once

#include "sparkler/DigestStream.h"

namespace sparkler {

/// The MD5 digest of data that arrives in pieces, as Checksum::MD5String gives it for the
/// whole: add() each piece in order, then hex() once (32 lowercase hexadecimal digits).
class MD5Stream : public DigestStream {
 public:
  MD5Stream() noexcept : DigestStream(Algorithm::md5) {}
};

}  // namespace sparkler

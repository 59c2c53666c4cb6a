#include "sparkler/Hex.h"

namespace sparkler::Hex {

std::string encode(const void* data, std::size_t size, Case letters) {
  const char* const digits = letters == Case::lower ? "0123456789abcdef" : "0123456789ABCDEF";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string text;
  text.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace sparkler::Hex

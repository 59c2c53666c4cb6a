#pragma once

#include <cstddef>
#include <string>

namespace sparkler::Hex {

enum class Case { lower, upper };

/// The `size` bytes at `data` as two hexadecimal digits each, most significant first.
std::string encode(const void* data, std::size_t size, Case letters = Case::lower);

}  // namespace sparkler::Hex

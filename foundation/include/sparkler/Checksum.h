#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sparkler::Checksum {

using Digest = std::array<std::uint8_t, 16>;

/// The RFC 1321 MD5 digest of `data` (any length); nullopt for empty data.
std::optional<Digest> MD5(std::string_view data) noexcept;

/// The same digest as 32 lowercase hexadecimal digits; nullopt for empty data.
std::optional<std::string> MD5String(std::string_view data);

}  // namespace sparkler::Checksum

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace sparkler {

/// A number as read from text or given by a caller: an unsigned or signed integer, or a
/// floating-point value.
class Number {
 public:
  static Number withUInt64(std::uint64_t value) noexcept { return Number(value); }
  static Number withInt64(std::int64_t value) noexcept { return Number(value); }
  static Number withDouble(double value) noexcept { return Number(value); }

  /// Text to number. "0x"/"0X" prefix: a hexadecimal unsigned 64-bit scan; otherwise an ICU
  /// decimal parse of the whole text. nullopt when nothing is read.
  static std::optional<Number> numberWithString(std::optional<std::string_view> text) noexcept;

  /// The number as a whole number with "," between groups of three digits, whatever the
  /// locale ("1,234,567"); nullopt when no formatter can be made.
  std::optional<std::string> integerDescriptionWithCommaSeparators() const;

  /// The value as an unsigned 64-bit integer, and its low 32 or 16 bits (no clamping).
  std::uint64_t UInt64Value() const noexcept;
  std::uint32_t UInt32Value() const noexcept { return static_cast<std::uint32_t>(UInt64Value()); }
  std::uint16_t UInt16Value() const noexcept { return static_cast<std::uint16_t>(UInt64Value()); }

  const std::variant<std::uint64_t, std::int64_t, double>& value() const noexcept { return value_; }

 private:
  explicit Number(std::variant<std::uint64_t, std::int64_t, double> value) : value_(value) {}
  std::variant<std::uint64_t, std::int64_t, double> value_;
};

}  // namespace sparkler

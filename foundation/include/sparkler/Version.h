#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// glibc's <sys/sysmacros.h> defines function-like macros named major and minor.
#ifdef major
#undef major
#endif
#ifdef minor
#undef minor
#endif

namespace sparkler {

/// A three-part version number (major.minor.maintenance), an immutable value in practice.
/// The factories never make 0.0.0; a default-made Version reads 0.0.0.
class Version {
 public:
  constexpr Version() noexcept = default;

  /// Texts longer than this (in bytes) are not read as versions: no version is longer than a
  /// few dozen characters, and the bound keeps the grammar's search cheap on hostile text.
  static constexpr std::size_t kMaximumTextLength = 256;

  /// nullopt when all three components are 0.
  static std::optional<Version> versionWithMajor(std::uint16_t major, std::uint16_t minor,
                                                 std::uint16_t maintenance) noexcept;

  /// The first "digits(.digits)?(.digits)?" in `text`, white space and other text around it
  /// ignored. nullopt for empty text, text longer than kMaximumTextLength, text without a run
  /// of ASCII digits, all-zero components, or a component above 65535.
  static std::optional<Version> versionWithString(std::string_view text) noexcept;

  std::uint16_t major() const noexcept { return major_; }
  std::uint16_t minor() const noexcept { return minor_; }
  std::uint16_t maintenance() const noexcept { return maintenance_; }
  void setMajor(std::uint16_t value) noexcept { major_ = value; }
  void setMinor(std::uint16_t value) noexcept { minor_ = value; }
  void setMaintenance(std::uint16_t value) noexcept { maintenance_ = value; }

  /// false for nullopt.
  bool isEqual(const std::optional<Version>& other) const noexcept;
  bool operator==(const Version& other) const noexcept = default;

  /// A hash of the text "Version|major|minor|maintenance"; equal versions hash alike.
  std::uint64_t hash() const noexcept;

  /// Whether this version is the same as `other` or newer; nullopt counts as 0.0.0.
  bool isEqualToOrBetterThan(const std::optional<Version>& other) const noexcept;

  /// "1.2.3", "1.2" (maintenance 0), "1" (minor and maintenance 0); "1.0.3" keeps its 0.
  std::string description() const;

 private:
  std::uint16_t major_ = 0;
  std::uint16_t minor_ = 0;
  std::uint16_t maintenance_ = 0;
};

}  // namespace sparkler

template <>
struct std::hash<sparkler::Version> {
  std::size_t operator()(const sparkler::Version& v) const noexcept {
    return static_cast<std::size_t>(v.hash());
  }
};

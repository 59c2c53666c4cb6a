// The version grammar on arbitrary bytes: versionWithString must agree with a plain reading of
// the grammar, and what it returns must describe, compare and hash consistently.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "sparkler/Version.h"

namespace {

using sparkler::Version;

void require(bool condition, const char* broken, std::string_view text) {
  if (condition) return;
  std::fprintf(stderr, "version fuzzer: %s (input of %zu bytes)\n", broken, text.size());
  std::abort();
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// A run of ASCII digits starting at `at`, as a 16-bit value: nullopt when the run is empty or
// its value does not fit, leading zeros ignored.
std::optional<std::uint16_t> digitRun(std::string_view text, std::size_t& at) {
  const std::size_t start = at;
  std::uint32_t value = 0;
  bool fits = true;
  for (; at < text.size() && isDigit(text[at]); ++at) {
    value = value * 10 + static_cast<std::uint32_t>(text[at] - '0');
    if (value > 0xFFFF) {
      fits = false;
      value = 0;
    }
  }
  if (at == start || !fits) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// The grammar read by hand: the first run of ASCII digits is the major component; ".digits"
// right after it is the minor one, and again the maintenance one. The outer nullopt means
// the text holds no version; the inner one, that a component does not fit 16 bits.
std::optional<std::optional<Version>> expected(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && !isDigit(text[at])) ++at;
  if (at == text.size()) return std::nullopt;
  std::uint16_t parts[3] = {0, 0, 0};
  bool fits = true;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (at + 1 >= text.size() || text[at] != '.' || !isDigit(text[at + 1])) break;
      ++at;
    }
    const auto part = digitRun(text, at);
    if (!part) fits = false;
    parts[i] = part.value_or(0);
  }
  if (!fits) return std::optional<Version>();
  return Version::versionWithMajor(parts[0], parts[1], parts[2]);
}

int order(const Version& a, const Version& b) {
  if (a.major() != b.major()) return a.major() < b.major() ? -1 : 1;
  if (a.minor() != b.minor()) return a.minor() < b.minor() ? -1 : 1;
  if (a.maintenance() != b.maintenance()) return a.maintenance() < b.maintenance() ? -1 : 1;
  return 0;
}

// Texts up to this length are always read. Longer ones may be refused whole: no real version
// text comes near it, and refusing them bounds the work that hostile text can cause.
constexpr std::size_t kAlwaysRead = 64;

void checkOne(const std::optional<Version>& version, std::string_view text) {
  const auto reference = expected(text);
  const bool hasVersion = reference && reference->has_value();
  if (text.size() <= kAlwaysRead) {
    require(version.has_value() == hasVersion,
            "versionWithString and the grammar disagree on whether there is a version", text);
  } else {
    require(!version || hasVersion, "versionWithString found a version the grammar does not", text);
  }
  if (!version) return;
  require(*version == **reference, "versionWithString read other components", text);
  require(version->major() != 0 || version->minor() != 0 || version->maintenance() != 0,
          "a factory made 0.0.0", text);

  const std::string description = version->description();
  require(!description.empty() && description.find_first_not_of("0123456789.") == std::string::npos,
          "description is not dotted digits", text);
  require(description.back() != '.' && description.front() != '.' &&
              description.find("..") == std::string::npos,
          "description has an empty component", text);
  const auto again = Version::versionWithString(description);
  require(again && *again == *version, "description does not read back as the same version", text);
  require(version->isEqual(again) && again->hash() == version->hash(),
          "equal versions differ in isEqual or hash", text);
  require(!version->isEqual(std::nullopt), "a version equals nil", text);
  require(version->isEqualToOrBetterThan(*version), "a version is older than itself", text);
  require(version->isEqualToOrBetterThan(std::nullopt), "a version is older than nil", text);
}

void checkPair(const Version& a, const Version& b, std::string_view text) {
  const int expectedOrder = order(a, b);
  require(a.isEqualToOrBetterThan(b) == (expectedOrder >= 0),
          "isEqualToOrBetterThan is not the order of (major, minor, maintenance)", text);
  require(b.isEqualToOrBetterThan(a) == (expectedOrder <= 0),
          "isEqualToOrBetterThan is not antisymmetric", text);
  require(a.isEqual(b) == (expectedOrder == 0), "isEqual disagrees with the order", text);
  if (expectedOrder == 0) require(a.hash() == b.hash(), "equal versions hash apart", text);
}

}  // namespace

// The whole input is one text; its two halves are two more, so that comparisons see pairs of
// versions that the fuzzer steers.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string_view halves[2] = {text.substr(0, size / 2), text.substr(size / 2)};

  const auto whole = Version::versionWithString(text);
  checkOne(whole, text);
  std::optional<Version> parts[2];
  for (int i = 0; i < 2; ++i) {
    parts[i] = Version::versionWithString(halves[i]);
    checkOne(parts[i], halves[i]);
  }
  if (parts[0] && parts[1]) checkPair(*parts[0], *parts[1], text);
  if (whole && parts[0]) checkPair(*whole, *parts[0], text);
  return 0;
}

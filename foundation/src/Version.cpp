#include "sparkler/Version.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <limits>
#include <memory>

#include "sparkler/Number.h"

namespace sparkler {
namespace {

constexpr char16_t kGrammar[] = u"\\s*([0-9]+)(\\.[0-9]+)?(\\.[0-9]+)?\\s*";

// The unanchored search retries the pattern at every position, and each try can run over the
// white space that follows, so its work grows with the square of the text's length. Versions
// come from the network: a bound on the text keeps the work to a few tens of thousands of
// steps, and ICU's own limit on the match (in its units of work, each about a millisecond's
// worth) stands behind it.
constexpr std::int32_t kMatchTimeLimit = 100;

// A compiled ICU pattern is immutable and may hand out matchers on any thread, so it is
// built once rather than on every parse. It is never destroyed: worker jobs may still parse
// while the process exits.
const icu::RegexPattern* grammar() {
  static const icu::RegexPattern* const pattern = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(icu::UnicodeString(kGrammar), 0, status));
    if (U_FAILURE(status)) compiled.reset();
    return compiled.release();
  }();
  return pattern;
}

// A component that does not fit 16 bits is refused rather than cut to its low bits, which
// would make 1.65536 read as 1.0 and compare older than 1.1.
std::optional<std::uint16_t> component(const icu::UnicodeString& digits) {
  std::string text;
  digits.toUTF8String(text);
  const auto number = Number::numberWithString(text);
  if (!number) return std::nullopt;
  constexpr auto kLargest = std::numeric_limits<std::uint16_t>::max();
  if (const auto* value = std::get_if<std::uint64_t>(&number->value())) {
    if (*value <= kLargest) return static_cast<std::uint16_t>(*value);
  } else if (const auto* value = std::get_if<std::int64_t>(&number->value())) {
    if (*value >= 0 && *value <= kLargest) return static_cast<std::uint16_t>(*value);
  }
  return std::nullopt;
}

std::optional<std::uint16_t> optionalComponent(icu::RegexMatcher& matcher, int group) {
  UErrorCode status = U_ZERO_ERROR;
  const auto start = matcher.start(group, status);
  if (U_FAILURE(status)) return std::nullopt;
  if (start < 0) return 0;  // the group took no part in the match
  const auto text = matcher.group(group, status);
  if (U_FAILURE(status) || text.length() < 1) return std::nullopt;
  return component(icu::UnicodeString(text, 1));
}

}  // namespace

std::optional<Version> Version::versionWithMajor(std::uint16_t major, std::uint16_t minor,
                                                 std::uint16_t maintenance) noexcept {
  if (major == 0 && minor == 0 && maintenance == 0) return std::nullopt;
  Version version;
  version.setMajor(major);
  version.setMinor(minor);
  version.setMaintenance(maintenance);
  return version;
}

std::optional<Version> Version::versionWithString(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  try {
    const auto* pattern = grammar();
    if (pattern == nullptr) return std::nullopt;
    if (text.size() > kMaximumTextLength) return std::nullopt;
    const auto input = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
    if (U_FAILURE(status) || !matcher) return std::nullopt;
    matcher->setTimeLimit(kMatchTimeLimit, status);
    if (U_FAILURE(status)) return std::nullopt;
    if (!matcher->find(0, status) || U_FAILURE(status)) return std::nullopt;

    const auto majorText = matcher->group(1, status);
    if (U_FAILURE(status)) return std::nullopt;
    const auto major = component(majorText);
    if (!major) return std::nullopt;
    const auto minor = optionalComponent(*matcher, 2);
    if (!minor) return std::nullopt;
    const auto maintenance = optionalComponent(*matcher, 3);
    if (!maintenance) return std::nullopt;
    return versionWithMajor(*major, *minor, *maintenance);
  } catch (...) {
    return std::nullopt;
  }
}

bool Version::isEqual(const std::optional<Version>& other) const noexcept {
  return other && major_ == other->major_ && minor_ == other->minor_ &&
         maintenance_ == other->maintenance_;
}

std::uint64_t Version::hash() const noexcept {
  char text[48];
  const int length =
      std::snprintf(text, sizeof text, "Version|%hu|%hu|%hu", major_, minor_, maintenance_);
  // 64-bit FNV-1a: stable across runs and builds, unlike std::hash.
  std::uint64_t hash = 14695981039346656037ull;
  for (int i = 0; i < length; ++i) {
    hash ^= static_cast<unsigned char>(text[i]);
    hash *= 1099511628211ull;
  }
  return hash;
}

bool Version::isEqualToOrBetterThan(const std::optional<Version>& other) const noexcept {
  const Version against = other.value_or(Version());
  if (major_ != against.major_) return major_ > against.major_;
  if (minor_ != against.minor_) return minor_ > against.minor_;
  return maintenance_ >= against.maintenance_;
}

std::string Version::description() const {
  char text[24];
  if (maintenance_ != 0) {
    std::snprintf(text, sizeof text, "%hu.%hu.%hu", major_, minor_, maintenance_);
  } else if (minor_ != 0) {
    std::snprintf(text, sizeof text, "%hu.%hu", major_, minor_);
  } else {
    std::snprintf(text, sizeof text, "%hu", major_);
  }
  return text;
}

}  // namespace sparkler

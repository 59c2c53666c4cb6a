#include "sparkler/Number.h"

#include <unicode/dcfmtsym.h>
#include <unicode/decimfmt.h>
#include <unicode/fmtable.h>
#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/parsepos.h>
#include <unicode/unistr.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

namespace sparkler {
namespace {

std::optional<int> hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

// Hex digits after the two-character prefix, up to the first other character. A value that
// needs more than 64 bits is refused rather than cut.
std::optional<Number> scanHex(std::string_view text) {
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    const auto digit = hexDigit(text[i]);
    if (!digit) break;
    if (value > (std::numeric_limits<std::uint64_t>::max() >> 4)) return std::nullopt;
    value = (value << 4) | static_cast<std::uint64_t>(*digit);
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  return Number::withUInt64(value);
}

// The exact whole-number digits of an ICU decimal string such as "42", "-7" or
// "1.8446744073709551615E+19"; nullopt when it has a fraction or is not plain.
std::optional<std::pair<bool, std::string>> wholeDigits(std::string_view decimal) {
  const bool negative = !decimal.empty() && decimal.front() == '-';
  if (negative) decimal.remove_prefix(1);
  long exponent = 0;
  if (const auto e = decimal.find_first_of("eE"); e != std::string_view::npos) {
    auto text = decimal.substr(e + 1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), exponent);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    decimal = decimal.substr(0, e);
  }
  std::string digits;
  for (const char c : decimal) {
    if (c == '.') {
      exponent -= static_cast<long>(decimal.size() - digits.size() - 1);
    } else if (c >= '0' && c <= '9') {
      digits += c;
    } else {
      return std::nullopt;
    }
  }
  if (digits.empty()) return std::nullopt;
  for (; exponent < 0; ++exponent) {
    if (digits.back() != '0') return std::nullopt;
    digits.pop_back();
    if (digits.empty()) return std::pair{negative, std::string(1, '0')};
  }
  if (exponent > 20) return std::nullopt;  // beyond 64 bits whatever the digits
  digits.append(static_cast<std::size_t>(exponent), '0');
  return std::pair{negative, digits};
}

// ICU hands whole numbers beyond 2^53 back as doubles; its decimal string keeps them exact.
std::optional<Number> fromFormattable(const icu::Formattable& result) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::StringPiece decimal = const_cast<icu::Formattable&>(result).getDecimalNumber(status);
  if (U_SUCCESS(status)) {
    if (const auto whole = wholeDigits(std::string_view(decimal.data(), decimal.size()))) {
      const auto& [negative, digits] = *whole;
      const char* first = digits.data();
      const char* last = first + digits.size();
      if (!negative) {
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(first, last, value);
        if (error == std::errc() && end == last) return Number::withUInt64(value);
      } else {
        std::string signedDigits(1, '-');
        signedDigits.append(digits);
        std::int64_t value = 0;
        const auto [end, error] =
            std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
        if (error == std::errc() && end == signedDigits.data() + signedDigits.size()) {
          return value == 0 ? Number::withUInt64(0) : Number::withInt64(value);
        }
      }
    }
  }
  status = U_ZERO_ERROR;
  const double value = result.getDouble(status);
  if (U_FAILURE(status)) return std::nullopt;
  return Number::withDouble(value);
}

// Making an ICU formatter costs far more than a parse, so each thread keeps one for the
// current default locale and makes a new one only when that locale changes.
const icu::NumberFormat* decimalParser() {
  struct Cached {
    std::string locale;
    std::unique_ptr<icu::NumberFormat> format;
  };
  thread_local Cached cached;
  const icu::Locale& locale = icu::Locale::getDefault();
  if (!cached.format || cached.locale != locale.getName()) {
    UErrorCode status = U_ZERO_ERROR;
    cached.format.reset(icu::NumberFormat::createInstance(locale, UNUM_DECIMAL, status));
    if (U_FAILURE(status)) cached.format.reset();
    cached.locale = locale.getName();
  }
  return cached.format.get();
}

std::optional<Number> parseDecimal(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return std::nullopt;
  }
  const auto* format = decimalParser();
  if (format == nullptr) return std::nullopt;
  const auto input = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
  icu::Formattable result;
  icu::ParsePosition position(0);
  format->parse(input, result, position);
  if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) return std::nullopt;
  return fromFormattable(result);
}

}  // namespace

std::optional<Number> Number::numberWithString(std::optional<std::string_view> text) noexcept {
  if (!text || text->empty()) return std::nullopt;
  try {
    if (text->size() >= 2 && (*text)[0] == '0' && ((*text)[1] == 'x' || (*text)[1] == 'X')) {
      return scanHex(*text);
    }
    return parseDecimal(*text);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::string> Number::integerDescriptionWithCommaSeparators() const {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::NumberFormat> base(
      icu::NumberFormat::createInstance(icu::Locale::getDefault(), UNUM_DECIMAL, status));
  auto* format = dynamic_cast<icu::DecimalFormat*>(base.get());
  if (U_FAILURE(status) || format == nullptr) return std::nullopt;

  icu::DecimalFormatSymbols symbols(*format->getDecimalFormatSymbols());
  symbols.setSymbol(icu::DecimalFormatSymbols::kGroupingSeparatorSymbol, u",");
  format->setDecimalFormatSymbols(symbols);
  // Some locales group by two after the first three or leave four digits ungrouped; the
  // text here is "," between every three digits everywhere.
  format->setGroupingSize(3);
  format->setSecondaryGroupingSize(3);
  format->setMinimumGroupingDigits(1);
  format->setMaximumFractionDigits(0);
  format->setDecimalSeparatorAlwaysShown(false);
  format->setGroupingUsed(true);

  icu::UnicodeString text;
  if (const auto* value = std::get_if<std::uint64_t>(&value_)) {
    if (*value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      const auto digits = std::to_string(*value);
      icu::Formattable big(
          icu::StringPiece(digits.data(), static_cast<std::int32_t>(digits.size())), status);
      if (U_FAILURE(status)) return std::nullopt;
      format->format(big, text, status);
    } else {
      format->format(static_cast<std::int64_t>(*value), text);
    }
  } else if (const auto* value = std::get_if<std::int64_t>(&value_)) {
    format->format(*value, text);
  } else {
    format->format(std::get<double>(value_), text);
  }
  if (U_FAILURE(status)) return std::nullopt;
  std::string result;
  text.toUTF8String(result);
  return result;
}

std::uint64_t Number::UInt64Value() const noexcept {
  if (const auto* value = std::get_if<std::uint64_t>(&value_)) return *value;
  // Negative integers wrap as the platform's unsigned conversion does.
  if (const auto* value = std::get_if<std::int64_t>(&value_)) {
    return static_cast<std::uint64_t>(*value);
  }
  // Out-of-range doubles are undefined to convert in C++; they saturate here instead.
  const double value = std::get<double>(value_);
  if (std::isnan(value)) return 0;
  if (value < 0) {
    if (value <= -9223372036854775808.0) return 1ull << 63;
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
  }
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

}  // namespace sparkler

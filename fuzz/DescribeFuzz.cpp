// Any JSON value, as deep or as wide as the input makes it (not only what Manifest::read lets
// through), rendered for a log line at several bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sparkler/Manifest.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nlohmann::json;
  // The text parser and the destructor walk without recursion; the library's dump does not,
  // so nothing here calls it.
  const json value = json::parse(data, data + size, nullptr, false);
  if (value.is_discarded()) return 0;
  bool shortened = false;
  const std::string whole = sparkler::Manifest::describe(value, std::size_t{1} << 24, &shortened);
  if (shortened) return 0;
  for (const std::size_t bound : {std::size_t{0}, std::size_t{5}, std::size_t{40}, whole.size()}) {
    bool cut = false;
    const std::string text = sparkler::Manifest::describe(value, bound, &cut);
    require(text.size() <= bound);
    require(cut == (whole.size() > bound));
    if (!cut) {
      require(text == whole);
      continue;
    }
    // The start of the whole text, cut at a character boundary, then the marker.
    const auto marker = text.rfind("\xe2\x80\xa6 (");
    if (marker == std::string::npos) {
      require(whole.compare(0, text.size(), text) == 0);
      continue;
    }
    require(whole.compare(0, marker, text, 0, marker) == 0);
    require((static_cast<unsigned char>(whole[marker]) & 0xC0) != 0x80);
    require(text.substr(marker) ==
            "\xe2\x80\xa6 (" + std::to_string(whole.size() - marker) + " more bytes)");
  }
  return 0;
}

// A manifest body as a server may send it: read it, then render and check its newest entry as
// the updater does before any disk or network access.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sparkler/Manifest.h"

namespace {

using nlohmann::json;

void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sparkler;
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  std::string reason;
  const auto entries = Manifest::read(body, &reason);
  if (!entries) {
    require(!reason.empty());
    return 0;
  }
  require(entries->is_array() && !entries->empty());
  const json& newest = entries->back();

  for (const std::size_t bound : {std::size_t{0}, std::size_t{24}, Manifest::kDescriptionBytes}) {
    bool shortened = false;
    const std::string text = Manifest::describe(newest, bound, &shortened);
    require(text.size() <= bound);
    // read() bounds the depth, so the library's own (recursive) rendering is safe to compare
    // with here.
    if (!shortened) require(text == newest.dump(2, ' ', false, json::error_handler_t::replace));
  }
  require(Manifest::describe(*entries, Manifest::kDescriptionBytes).size() <=
          Manifest::kDescriptionBytes);

  std::string why;
  if (const auto checked = Manifest::checkedEntry(newest, &why)) {
    require(Manifest::isPlainFileName(checked->name) && !checked->hash.empty());
    require(checked->size >= 1 && checked->size <= Manifest::kMaximumImageSize);
  } else {
    require(!why.empty());
  }
  if (const auto version = Manifest::versionOf(newest)) {
    require(version->major() != 0 || version->minor() != 0 || version->maintenance() != 0);
  }
  return 0;
}

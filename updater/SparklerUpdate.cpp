#include <nlohmann/json.hpp>
#include <utility>

#include "tove/Bundle.h"
#include "tove/DMGExtractor.h"
#include "tove/Dispatch.h"
#include "tove/Sparkler.h"

namespace tove {
namespace {

// What the update's disk image holds: the new bundle's Contents folder, which replaces the
// running bundle's folder of the same name.
constexpr char kUpdateItem[] = "Tove.app/Contents";

void complete(const std::function<void(bool)>& handler, bool outcome) {
  // Without a main loop the handler could never run; calling it here keeps the promise of
  // exactly one call (this only happens in a process that is shutting down or misconfigured).
  if (!dispatch::asyncMain([handler, outcome] { handler(outcome); })) handler(outcome);
}

// The newest entry as it stands now (a check may have replaced the list since the caller
// looked), its image from the cache, extracted over the running bundle.
bool install(const Sparkler& sparkler) {
  auto list = sparkler.updates();
  if (!list || !list->is_array() || list->empty()) return false;
  const nlohmann::json& newest = list->back();
  if (!newest.is_object() || newest.empty()) return false;
  auto name = newest.find("name");
  if (name == newest.end() || !name->is_string()) return false;
  auto image = sparkler.cachedPath(name->get<std::string>());
  if (!image || image->empty()) return false;
  const std::string destination = Bundle::mainBundle()->bundlePath().string();
  auto replaced = DMGExtractor::extract(kUpdateItem, *image, destination);
  return replaced.has_value() && !replaced->empty();
}

}  // namespace

bool Sparkler::update(std::function<void(bool)> handler) {
  if (!handler) return false;
  if (!updateAvailable()) {
    handler(false);
    return false;
  }
  dispatch::async(dispatch::Priority::Default,
                  [self = shared_from_this(), handler = std::move(handler)] {
                    complete(handler, install(*self));
                  });
  return true;
}

}  // namespace tove

#include "sparkler/Bundle.h"

#include <plist/plist.h>

#include <cstdlib>
#include <mutex>
#include <system_error>

#include "sparkler/Files.h"
#include "sparkler/ProcessInfo.h"

namespace sparkler {
namespace {

// An Info.plist is a few kilobytes; anything far larger is not one and is not read whole. The
// bound also bounds the nesting libplist is given (it frees its trees recursively).
constexpr std::size_t kMaximumInfoPlistSize = 256 * 1024;

// Never destroyed: worker jobs may still read the main bundle while the process exits.
struct Override {
  std::mutex mutex;
  std::optional<std::filesystem::path> path;
};

Override& mainBundleOverride() {
  static auto* shared = new Override;
  return *shared;
}

// The strings of `array` when it holds nothing else, within the bounds; an empty list
// otherwise (the caller cannot tell a bad list from an empty one, and refuses both).
std::vector<std::string> stringsOf(plist_t array) {
  std::vector<std::string> strings;
  if (plist_get_node_type(array) != PLIST_ARRAY) return strings;
  const std::uint32_t count = plist_array_get_size(array);
  if (count > Bundle::kMaximumArrayCount) return strings;
  for (std::uint32_t i = 0; i < count; ++i) {
    plist_t item = plist_array_get_item(array, i);
    std::uint64_t length = 0;
    const char* text = item != nullptr && plist_get_node_type(item) == PLIST_STRING
                           ? plist_get_string_ptr(item, &length)
                           : nullptr;
    if (text == nullptr || length > Bundle::kMaximumArrayStringBytes) return {};
    strings.emplace_back(text, static_cast<std::size_t>(length));
  }
  return strings;
}

}  // namespace

std::optional<Bundle::InfoDictionary> Bundle::readInfoDictionary(const std::filesystem::path& path,
                                                                 InfoArrays* arrays) {
  const auto bytes = Files::readFile(path.string(), kMaximumInfoPlistSize);
  if (!bytes || bytes->empty()) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(bytes->data(), static_cast<std::uint32_t>(bytes->size()), &root);
  if (root == nullptr) return std::nullopt;
  std::unique_ptr<void, void (*)(plist_t)> guard(root, plist_free);
  if (plist_get_node_type(root) != PLIST_DICT) return std::nullopt;

  Bundle::InfoDictionary info;
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(root, &iterator);
  if (iterator == nullptr) return std::nullopt;
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, iterator, &key, &value);
    if (value == nullptr) {
      std::free(key);
      break;
    }
    if (key != nullptr && plist_get_node_type(value) == PLIST_STRING) {
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(value, &length);
      if (text != nullptr) info.emplace(key, std::string(text, static_cast<std::size_t>(length)));
    } else if (key != nullptr && arrays != nullptr) {
      arrays->emplace(key, stringsOf(value));
    }
    std::free(key);
  }
  std::free(iterator);
  return info;
}

namespace {

// The bundle folder of an executable at X.app/Contents/MacOS/exe, if it is laid out so.
std::optional<std::filesystem::path> bundleFolderOfExecutable(const std::filesystem::path& exe) {
  const auto macOS = exe.parent_path();
  const auto contents = macOS.parent_path();
  const auto bundle = contents.parent_path();
  if (macOS.filename() != "MacOS" || contents.filename() != "Contents") return std::nullopt;
  if (bundle.extension() != ".app") return std::nullopt;
  return bundle;
}

}  // namespace

std::shared_ptr<const Bundle> Bundle::mainBundle() {
  std::optional<std::filesystem::path> path;
  {
    auto& shared = mainBundleOverride();
    std::lock_guard lock(shared.mutex);
    path = shared.path;
  }
  if (path) return bundleWithPath(*path);
  const auto exe = ProcessInfo::executablePath();
  if (!exe) {
    std::error_code error;
    return std::make_shared<const Bundle>(std::filesystem::current_path(error), std::nullopt);
  }
  if (auto folder = bundleFolderOfExecutable(*exe)) return bundleWithPath(*folder);
  return std::make_shared<const Bundle>(exe->parent_path(), std::nullopt);
}

void Bundle::overrideMainBundlePath(std::optional<std::filesystem::path> path) {
  auto& shared = mainBundleOverride();
  std::lock_guard lock(shared.mutex);
  shared.path = std::move(path);
}

std::shared_ptr<const Bundle> Bundle::bundleWithPath(const std::filesystem::path& path) {
  InfoArrays arrays;
  auto info = readInfoDictionary(path / "Contents" / "Info.plist", &arrays);
  if (!info) arrays.clear();
  return std::make_shared<const Bundle>(path, std::move(info), std::move(arrays));
}

std::optional<std::string> Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  if (!info_) return std::nullopt;
  const auto found = info_->find(key);
  if (found == info_->end()) return std::nullopt;
  return found->second;
}

std::optional<std::vector<std::string>> Bundle::arrayForInfoDictionaryKey(
    std::string_view key) const {
  const auto found = arrays_.find(key);
  if (found == arrays_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> Bundle::bundleIdentifier() const {
  return objectForInfoDictionaryKey("CFBundleIdentifier");
}

std::optional<std::filesystem::path> Bundle::URLForResource(std::string_view name,
                                                            std::string_view extension,
                                                            std::string_view subdirectory) const {
  if (name.empty()) return std::nullopt;
  auto path = path_ / "Contents" / "Resources";
  if (!subdirectory.empty()) path /= subdirectory;
  std::string file(name);
  if (!extension.empty()) {
    file += '.';
    file += extension;
  }
  path /= file;
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return std::nullopt;
  return path;
}

}  // namespace sparkler

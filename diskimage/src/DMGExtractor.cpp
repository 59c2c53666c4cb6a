#include "tove/DMGExtractor.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>

#include "tove/Bundle.h"
#include "tove/FileManager.h"
#include "tove/Folders.h"
#include "tove/Log.h"
#include "tove/QuickTask.h"

namespace tove {
namespace {

// The attach grammar: a partition's device node, its type and a mount point below /Volumes,
// separated by any white space. 54 characters.
constexpr char kMountedPartition[] = R"(^/dev/(disk[0-9]+s[0-9]+)\s+Apple_HFS\s+(/Volumes/.*)$)";

std::mutex toolPathMutex;
std::optional<std::string> toolPathOverride;

// Runs `action` when it goes out of scope, so that every way out of a function does it once.
template <class Action>
class ScopeExit {
 public:
  explicit ScopeExit(Action action) : action_(std::move(action)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() { action_(); }

 private:
  Action action_;
};

bool isExecutable(const std::string& path) {
  return ::access(path.c_str(), X_OK) == 0;
}

// `first` and `second` with exactly one "/" between them and no trailing "/".
std::string appendingPathComponent(std::string_view first, std::string_view second) {
  while (first.size() > 1 && first.back() == '/') first.remove_suffix(1);
  while (!second.empty() && second.front() == '/') second.remove_prefix(1);
  while (!second.empty() && second.back() == '/') second.remove_suffix(1);
  if (second.empty()) return std::string(first);
  std::string joined(first);
  if (joined.empty() || joined.back() != '/') joined.push_back('/');
  joined.append(second);
  return joined;
}

// The part after the last "/", a trailing "/" ignored.
std::string_view lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

// An item names something inside the image: no ".." may lead out of it, and its last component
// must name an item, or the target would be the destination folder or one of its parents.
bool isItemInsideImage(std::string_view item) {
  const std::string_view last = lastPathComponent(item);
  bool hasName = false;
  while (!item.empty()) {
    const auto slash = item.find('/');
    const std::string_view component = item.substr(0, slash);
    if (component == "..") return false;
    if (!component.empty() && component != ".") hasName = true;
    if (slash == std::string_view::npos) break;
    item.remove_prefix(slash + 1);
  }
  return hasName && last != "." && last != "/";
}

}  // namespace

std::optional<MountInfo> DMGExtractor::mountInfoFromOutput(std::string_view output) noexcept {
  try {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexPattern> pattern(
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(kMountedPartition), 0, status));
    if (U_FAILURE(status) || !pattern) return std::nullopt;
    std::size_t start = 0;
    while (start <= output.size()) {
      const auto end = output.find('\n', start);
      const std::string_view line = output.substr(
          start, end == std::string_view::npos ? std::string_view::npos : end - start);
      const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
          icu::StringPiece(line.data(), static_cast<int32_t>(line.size())));
      std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
      if (U_FAILURE(status) || !matcher) return std::nullopt;
      if (matcher->find(status) && U_SUCCESS(status)) {
        std::string disk, root;
        matcher->group(1, status).toUTF8String(disk);
        matcher->group(2, status).toUTF8String(root);
        if (U_FAILURE(status)) return std::nullopt;
        return MountInfo::infoWithDisk(disk, root);
      }
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<MountInfo> DMGExtractor::mount(std::string_view image) noexcept {
  if (image.empty()) return std::nullopt;
  try {
    const auto output = QuickTask::outputOfTask(
        toolPath(), Arguments{{"attach", std::string(image), "-nobrowse"}}, true);
    if (!output || output->empty()) return std::nullopt;
    return mountInfoFromOutput(*output);
  } catch (...) {
    return std::nullopt;
  }
}

void DMGExtractor::eject(std::string_view disk) noexcept {
  if (disk.empty()) return;
  try {
    QuickTask::executeTask(toolPath(), Arguments{{"detach", std::string(disk)}});
  } catch (...) {
  }
}

std::optional<std::string> DMGExtractor::extract(std::string_view item, std::string_view image,
                                                 std::string_view destination) noexcept {
  if (item.empty() || image.empty() || destination.empty()) return std::nullopt;
  if (!isItemInsideImage(item)) return std::nullopt;
  try {
    const auto info = mount(image);
    if (!info) return std::nullopt;
    const std::string disk = info->disk();
    const ScopeExit detach([&disk] { eject(disk); });

    const std::string source = appendingPathComponent(info->root(), item);
    if (source.empty()) return std::nullopt;

    std::error_code created;
    std::filesystem::create_directories(std::filesystem::path(destination), created);
    if (created || !std::filesystem::is_directory(std::filesystem::path(destination), created)) {
      return std::nullopt;
    }

    const std::string target = appendingPathComponent(destination, lastPathComponent(item));
    std::error_code error;
    if (!FileManager::replaceItemAtPath(target, source, &error)) {
      Log::line("ERROR : " + (error ? error.message() : std::string("(null)")));
      return std::nullopt;
    }
    return appendingPathComponent(destination, lastPathComponent(item));
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::string> DMGExtractor::extract(std::string_view item,
                                                 std::string_view image) noexcept {
  try {
    const std::string destination = Folders::temporary().string() + "/" + Folders::newUUIDString();
    return extract(item, image, destination);
  } catch (...) {
    return std::nullopt;
  }
}

std::string DMGExtractor::toolPath() {
  {
    const std::lock_guard lock(toolPathMutex);
    if (toolPathOverride) return *toolPathOverride;
  }
  if (const char* path = std::getenv("TOVE_HDIUTIL"); path != nullptr && *path != '\0') {
    return path;
  }
  const std::string helper =
      (Bundle::mainBundle()->bundlePath() / "Contents" / "Helpers" / "hdiutil").string();
  if (isExecutable(helper)) return helper;
  if (isExecutable(TOVE_HDIUTIL_INSTALLED)) return TOVE_HDIUTIL_INSTALLED;
  return TOVE_HDIUTIL_BUILT;
}

void DMGExtractor::setToolPath(std::optional<std::string> path) {
  const std::lock_guard lock(toolPathMutex);
  toolPathOverride = std::move(path);
}

}  // namespace tove

#include "sparkler/DMGExtractor.h"

#include <sys/stat.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "sparkler/Bundle.h"
#include "sparkler/FileManager.h"
#include "sparkler/Folders.h"
#include "sparkler/Log.h"
#include "sparkler/QuickTask.h"
#include "sparkler/ScopeExit.h"

namespace sparkler {
namespace {

// The attach grammar: a partition's device node, its type and a mount point below /Volumes,
// separated by any white space. 54 characters.
constexpr char kMountedPartition[] = R"(^/dev/(disk[0-9]+s[0-9]+)\s+Apple_HFS\s+(/Volumes/.*)$)";
// The same line for a user who cannot mount below /Volumes: the tool then mounts in a folder
// of the user's own named Volumes (in their runtime folder). Read only when no line fits the
// first form, so output that names /Volumes is read exactly as before.
constexpr char kMountedPartitionOfUser[] =
    R"(^/dev/(disk[0-9]+s[0-9]+)\s+Apple_HFS\s+(/.+/Volumes/.*)$)";

std::mutex toolPathMutex;
std::optional<std::string> toolPathOverride;

bool isExecutable(const std::string& path) {
  return ::access(path.c_str(), X_OK) == 0;
}

// A program installed outside the bundle is run only when nobody but root or this user could
// have put it there: owned by one of them and writable by no one else.
bool isTrustedProgram(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_uid != 0 && info.st_uid != ::geteuid()) return false;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
  return isExecutable(path);
}

// The attach output the tool is allowed to write, and the end of its standard error that is
// kept to say why it failed.
constexpr std::size_t kToolOutputLimit = 64 * 1024;
constexpr std::size_t kToolErrorLimit = 4 * 1024;

RunResult runTool(const std::string& tool, const std::vector<std::string>& arguments,
                  std::chrono::milliseconds limit) {
  if (tool.empty()) return {};
  return QuickTask::run(tool, Arguments{arguments},
                        RunOptions{limit, kToolOutputLimit, kToolErrorLimit});
}

std::string toolFailure(const std::string& tool, std::string_view verb, const RunResult& run) {
  if (!run.started && tool.empty()) {
    return "the disk image tool is missing from the bundle (Contents/Helpers/hdiutil)";
  }
  return "hdiutil " + std::string(verb) + " " + run.failure();
}

constexpr std::chrono::milliseconds kDefaultToolLimit = ExtractOptions::kDefaultToolTimeLimit;

std::optional<MountInfo> attach(const std::string& tool, std::string_view image,
                                std::chrono::milliseconds limit, std::string* reason) {
  const RunResult run = runTool(tool, {"attach", std::string(image), "-nobrowse"}, limit);
  const auto output = run.text(true);
  if (!output || output->empty()) {
    if (reason != nullptr) {
      *reason = run.succeeded() ? "hdiutil attach printed no mount point"
                                : toolFailure(tool, "attach", run);
    }
    return std::nullopt;
  }
  auto info = DMGExtractor::mountInfoFromOutput(*output);
  if (!info && reason != nullptr) *reason = "hdiutil attach printed no mounted partition";
  return info;
}

// Detaches `disk`; on failure, forced when `forceOnFailure`. false with `reason` when the
// image may still be attached.
bool detach(const std::string& tool, const std::string& disk, bool force,
            std::chrono::milliseconds limit, std::string* reason) {
  std::vector<std::string> arguments{"detach", disk};
  if (force) arguments.push_back("-force");
  const RunResult run = runTool(tool, arguments, limit);
  if (run.succeeded()) return true;
  if (reason != nullptr) *reason = toolFailure(tool, "detach", run);
  return false;
}

// Watches the progress of a copy from a thread of its own and runs `onStall` once when it
// made none for `limit`.
class StallWatch {
 public:
  StallWatch(std::chrono::milliseconds limit, std::function<void()> onStall)
      : limit_(limit), onStall_(std::move(onStall)) {
    if (limit_.count() > 0) thread_ = std::thread([this] { watch(); });
  }
  ~StallWatch() { stop(); }
  StallWatch(const StallWatch&) = delete;
  StallWatch& operator=(const StallWatch&) = delete;

  void advance() noexcept { progress_.fetch_add(1, std::memory_order_relaxed); }
  bool stalled() const noexcept { return stalled_.load(); }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void watch() {
    using Clock = std::chrono::steady_clock;
    const auto step = std::max(limit_ / 8, std::chrono::milliseconds(10));
    std::unique_lock lock(mutex_);
    auto seen = progress_.load();
    auto changed = Clock::now();
    while (!wake_.wait_for(lock, step, [this] { return stopping_; })) {
      const auto now = progress_.load();
      if (now != seen) {
        seen = now;
        changed = Clock::now();
      } else if (Clock::now() - changed >= limit_) {
        stalled_ = true;
        lock.unlock();
        onStall_();
        return;
      }
    }
  }

  const std::chrono::milliseconds limit_;
  std::function<void()> onStall_;
  std::atomic<std::uint64_t> progress_{0};
  std::atomic<bool> stalled_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// Why the item at `item` below the mount point `root` may not be copied: a symbolic link on its
// path (the image could point it anywhere), a component on another file system, or, when
// `requireFolder`, an item that is not a folder. nullopt when it may.
std::optional<std::string> problemWithSource(const std::string& root, std::string_view item,
                                             bool requireFolder) {
  struct stat info {};
  if (::lstat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return "the mounted image cannot be read at " + root;
  }
  const dev_t device = info.st_dev;
  std::string path = root;
  std::string shown;
  while (!item.empty()) {
    const auto slash = item.find('/');
    const std::string_view component = item.substr(0, slash);
    item = slash == std::string_view::npos ? std::string_view() : item.substr(slash + 1);
    if (component.empty() || component == ".") continue;
    path += "/";
    path += component;
    shown += shown.empty() ? "" : "/";
    shown += component;
    if (::lstat(path.c_str(), &info) != 0) {
      return "the image holds no " + shown + ": " +
             std::error_code(errno, std::generic_category()).message();
    }
    if (S_ISLNK(info.st_mode)) return "the image's " + shown + " is a symbolic link";
    if (info.st_dev != device) return "the image's " + shown + " lies outside the image";
    const bool last = item.find_first_not_of("/.") == std::string_view::npos;
    if (!last && !S_ISDIR(info.st_mode)) return "the image's " + shown + " is not a folder";
    if (last && requireFolder && !S_ISDIR(info.st_mode)) {
      return "the image's " + shown + " is not a folder";
    }
  }
  return std::nullopt;
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
    for (const char* grammar : {kMountedPartition, kMountedPartitionOfUser}) {
      UErrorCode status = U_ZERO_ERROR;
      std::unique_ptr<icu::RegexPattern> pattern(
          icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(grammar), 0, status));
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
    }
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<MountInfo> DMGExtractor::mount(std::string_view image) noexcept {
  if (image.empty()) return std::nullopt;
  try {
    return attach(toolPath(), image, kDefaultToolLimit, nullptr);
  } catch (...) {
    return std::nullopt;
  }
}

void DMGExtractor::eject(std::string_view disk) noexcept {
  if (disk.empty()) return;
  try {
    detach(toolPath(), std::string(disk), false, kDefaultToolLimit, nullptr);
  } catch (...) {
  }
}

bool DMGExtractor::reclaim(std::string_view imageFolder, std::string* reason,
                           std::string_view tool) noexcept {
  try {
    const std::string program = tool.empty() ? toolPath() : std::string(tool);
    // Without the tool no image can have been attached through it: nothing to reclaim.
    if (imageFolder.empty() || program.empty()) return true;
    const RunResult run =
        runTool(program, {"reclaim", std::string(imageFolder)}, kDefaultToolLimit);
    if (run.succeeded()) return true;
    if (reason != nullptr) *reason = toolFailure(program, "reclaim", run);
    return false;
  } catch (...) {
    if (reason != nullptr) *reason = "out of memory";
    return false;
  }
}

std::optional<std::string> DMGExtractor::extract(std::string_view item, std::string_view image,
                                                 std::string_view destination) noexcept {
  return extract(item, image, destination, ExtractOptions{}, nullptr);
}

std::optional<std::string> DMGExtractor::extract(std::string_view item, std::string_view image,
                                                 std::string_view destination,
                                                 const ExtractOptions& options,
                                                 ExtractFailure* failure) noexcept {
  std::string reason;
  bool logged = false, stalled = false;
  const auto fail = [&](std::string why) -> std::optional<std::string> {
    if (failure != nullptr) *failure = ExtractFailure{std::move(why), logged, stalled};
    return std::nullopt;
  };
  if (item.empty() || image.empty() || destination.empty()) return fail("nothing to extract");
  if (!isItemInsideImage(item))
    return fail("the item " + std::string(item) + " leads out of the image");
  try {
    const auto phase = [&](ExtractPhase step) {
      if (options.phase) options.phase(step);
    };
    // One tool for the whole extraction, chosen before anything is replaced.
    const std::string tool = options.tool.empty() ? toolPath() : options.tool;
    phase(ExtractPhase::attaching);
    const auto info = attach(tool, image, options.toolTimeLimit, &reason);
    if (!info) return fail(reason);
    const std::string disk = info->disk();

    // A stalled image is force-detached from the watch's thread: that ends the reads blocked
    // on it, so the copy fails instead of hanging. One that cannot be forced off is logged.
    StallWatch watch(options.stallLimit, [&]() noexcept {
      try {
        std::string why;
        if (!detach(tool, disk, true, options.toolTimeLimit, &why)) {
          Log::error("Cannot detach the stalled " + disk + " at " + info->root() + ": " + why);
        }
      } catch (...) {
      }
    });
    // Every way out detaches once, after the last read from the image; an image that will not
    // detach normally is forced off rather than left behind, and one that cannot be forced off
    // either is logged (a later clean-up of the image folder detaches it once we have ended).
    const ScopeExit detachOnce([&]() noexcept {
      try {
        watch.stop();
        if (watch.stalled()) return;
        phase(ExtractPhase::detaching);
        std::string why;
        if (!detach(tool, disk, false, options.toolTimeLimit, nullptr) &&
            !detach(tool, disk, true, options.toolTimeLimit, &why)) {
          Log::error("Cannot detach " + disk + " at " + info->root() + ": " + why);
        }
      } catch (...) {
      }
    });

    const std::string source = appendingPathComponent(info->root(), item);
    if (source.empty()) return fail("the mount point is empty");

    std::error_code created;
    std::filesystem::create_directories(std::filesystem::path(destination), created);
    if (created || !std::filesystem::is_directory(std::filesystem::path(destination), created)) {
      return fail("cannot make the folder " + std::string(destination) +
                  (created ? ": " + created.message() : std::string()));
    }

    const std::string target = appendingPathComponent(destination, lastPathComponent(item));
    const auto logFailure = [&](std::string cause) {
      if (watch.stalled()) {
        stalled = true;
        const auto limit = options.stallLimit.count();
        cause = "the disk image stopped responding for " +
                (limit % 1000 == 0 ? std::to_string(limit / 1000) + " s"
                                   : std::to_string(limit) + " ms") +
                " and was detached";
      }
      Log::error("ERROR : " + cause);
      logged = true;
      return fail(std::move(cause));
    };
    if (auto problem = problemWithSource(info->root(), item, options.requireFolder)) {
      return logFailure(*problem);
    }
    phase(ExtractPhase::copying);
    FileManager::ReplaceOptions replace = options.replace;
    bool tooMuchRead = false;
    replace.progress = [&](std::uint64_t bytes, std::uint64_t items) {
      watch.advance();
      if (options.maxBytesRead > 0 && bytes > options.maxBytesRead) {
        tooMuchRead = true;
        return false;
      }
      return !options.replace.progress || options.replace.progress(bytes, items);
    };
    // The caller's reason for refusing the copy is the whole story; keep it as it was said.
    std::optional<std::string> refusal;
    if (options.replace.validate) {
      replace.validate = [&refusal, &options](const std::string& copy) {
        refusal = options.replace.validate(copy);
        return refusal;
      };
    }
    std::error_code error;
    std::string detail;
    if (!FileManager::replaceItemAtPath(target, source, replace, &error, &detail)) {
      if (!error) return logFailure("(null)");
      if (error == FileManager::ReplaceError::rejected && refusal) return logFailure(*refusal);
      if (tooMuchRead) {
        return logFailure("the image holds more than " + std::to_string(options.maxBytesRead) +
                          " bytes of file data, holes included");
      }
      // The detail names the item and says what went wrong with it.
      return logFailure(detail.empty() ? error.message() : detail);
    }
    return appendingPathComponent(destination, lastPathComponent(item));
  } catch (...) {
    return fail("out of memory");
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
  return toolPath(Bundle::mainBundle()->bundlePath());
}

std::string DMGExtractor::toolPath(const std::filesystem::path& bundle) {
  {
    const std::lock_guard lock(toolPathMutex);
    if (toolPathOverride) return *toolPathOverride;
  }
  if (const char* path = std::getenv("SPARKLER_HDIUTIL"); path != nullptr && *path != '\0') {
    return path;
  }
  const std::string helper = (bundle / "Contents" / "Helpers" / "hdiutil").string();
  if (isExecutable(helper)) return helper;
  if (isTrustedProgram(SPARKLER_HDIUTIL_INSTALLED)) return SPARKLER_HDIUTIL_INSTALLED;
  return {};
}

void DMGExtractor::setToolPath(std::optional<std::string> path) {
  const std::lock_guard lock(toolPathMutex);
  toolPathOverride = std::move(path);
}

}  // namespace sparkler

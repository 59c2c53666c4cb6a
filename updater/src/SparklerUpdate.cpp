#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <utility>

#include "sparkler/Bundle.h"
#include "sparkler/DMGExtractor.h"
#include "sparkler/Dispatch.h"
#include "sparkler/FileManager.h"
#include "sparkler/Log.h"
#include "sparkler/Sparkler.h"

namespace sparkler {
namespace {

// What the update's disk image holds: the new bundle's Contents folder, which replaces the
// running bundle's folder of the same name.
constexpr char kUpdateItem[] = "Tove.app/Contents";

// An image is hostile until its contents have been checked, even with a matching digest: the
// copy out of it is bounded. It may take at most kDiskFactor times the image's size on disk
// (compressed images of real apps unpack to two to four times their size), and never less
// than kDiskFloor; it may hold at most kMaximumItems items nested kMaximumDepth deep.
constexpr std::uint64_t kDiskFactor = 8;
constexpr std::uint64_t kDiskFloor = std::uint64_t{64} << 20;
constexpr std::uint64_t kMaximumItems = 100'000;
// Holes cost no disk but reading them costs time: the file data read, holes included, is
// bounded too, at kReadFactor times the image's size and never less than kReadFloor.
constexpr std::uint64_t kReadFactor = 64;
constexpr std::uint64_t kReadFloor = std::uint64_t{4} << 30;
constexpr unsigned kMaximumDepth = 64;
// An installation whose copy makes no progress for this long is abandoned.
constexpr std::chrono::seconds kStallLimit{60};
// An Info.plist is a few kilobytes.
constexpr off_t kMaximumInfoPlistSize = 64 * 1024;

void complete(const std::function<void(bool)>& handler, bool outcome) {
  // Without a main loop the handler could never run; calling it here keeps the promise of
  // exactly one call (this only happens in a process that is shutting down or misconfigured).
  if (!dispatch::asyncMain([handler, outcome] { handler(outcome); })) handler(outcome);
}

// Why the copied Contents folder at `contents` cannot replace the running one: it must be the
// app that was offered (the entry's version, the running bundle's identifier) and able to start.
std::optional<std::string> problemWithContents(const std::string& contents, const Version& offered,
                                               const std::string& identifier) {
  const std::string plist = contents + "/Info.plist";
  struct stat info {};
  if (::lstat(plist.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::string("the new contents have no Info.plist");
  }
  if (info.st_size > kMaximumInfoPlistSize) return std::string("the new Info.plist is too large");
  const auto dictionary = Bundle::readInfoDictionary(plist);
  if (!dictionary) return std::string("the new Info.plist cannot be read");
  const auto value = [&](const char* key) -> std::string {
    const auto found = dictionary->find(key);
    return found == dictionary->end() ? std::string() : found->second;
  };
  const auto version = Version::versionWithString(value("CFBundleShortVersionString"));
  if (!version || !version->isEqual(offered)) {
    return "the new contents hold version \"" + value("CFBundleShortVersionString").substr(0, 64) +
           "\", not the offered " + offered.description();
  }
  if (value("CFBundleIdentifier") != identifier) {
    return "the new contents belong to \"" + value("CFBundleIdentifier").substr(0, 256) +
           "\", not to " + identifier;
  }
  const std::string executable = value("CFBundleExecutable");
  const std::string path = contents + "/MacOS/" + executable;
  if (!Sparkler::isPlainFileName(executable) || ::lstat(path.c_str(), &info) != 0 ||
      !S_ISREG(info.st_mode) || (info.st_mode & S_IXUSR) == 0) {
    return "the new contents have no executable file MacOS/" + executable.substr(0, 256);
  }
  return std::nullopt;
}

// Removes what interrupted installations left: images of the cache still attached for a
// process that has ended, and partial copies beside the bundle's Contents. Installations still
// running in other processes are left alone.
void cleanUpInterrupted(const std::shared_ptr<const std::string>& cacheFolder,
                        const std::filesystem::path& bundle) {
  std::string reason;
  if (cacheFolder && !cacheFolder->empty() && !DMGExtractor::reclaim(*cacheFolder, &reason)) {
    Log::line("Cannot clean up after an interrupted update: " + reason);
  }
  FileManager::removeAbandonedCopies((bundle / "Contents").string());
}

struct Outcome {
  bool installed = false;
  std::string reason;   // why not
  bool logged = false;  // the reason is in the log already
};

// The newest entry as it stands now (a check may have replaced the list since the caller
// looked), its image from the cache, checked and extracted over the running bundle.
Outcome install(const Sparkler& sparkler) {
  auto list = sparkler.updates();
  if (!list || !list->is_array() || list->empty()) return {false, "no update is listed"};
  const nlohmann::json& newest = list->back();
  if (!newest.is_object() || newest.empty()) return {false, "the newest update entry is empty"};
  const auto name = newest.find("name");
  if (name == newest.end() || !name->is_string()) return {false, "the newest entry has no name"};
  const auto version = newest.find("version");
  const auto offered = version != newest.end() && version->is_string()
                           ? Version::versionWithString(version->get_ref<const std::string&>())
                           : std::nullopt;
  if (!offered) return {false, "the newest entry has no version"};
  const auto image = sparkler.cachedPath(name->get_ref<const std::string&>());
  if (!image || image->empty()) return {false, "its disk image is no longer in the cache"};

  const auto running = Bundle::mainBundle();
  const auto identifier = running->bundleIdentifier();
  if (!identifier || identifier->empty()) return {false, "the running bundle has no identifier"};
  cleanUpInterrupted(sparkler.folder(), running->bundlePath());

  struct stat imageInfo {};
  const std::uint64_t imageSize =
      ::stat(image->c_str(), &imageInfo) == 0 ? static_cast<std::uint64_t>(imageInfo.st_size) : 0;
  ExtractOptions options;
  options.requireFolder = true;
  options.maxBytesRead = std::max(kReadFloor, imageSize * kReadFactor);
  options.stallLimit = kStallLimit;
  options.replace.safeModes = true;
  options.replace.keepOwner = true;
  options.replace.linksStayInside = true;
  options.replace.maxDiskBytes = std::max(kDiskFloor, imageSize * kDiskFactor);
  options.replace.maxItems = kMaximumItems;
  options.replace.maxDepth = kMaximumDepth;
  options.replace.validate = [&](const std::string& contents) {
    return problemWithContents(contents, *offered, *identifier);
  };
  ExtractFailure failure;
  const auto replaced =
      DMGExtractor::extract(kUpdateItem, *image, running->bundlePath().string(), options, &failure);
  if (replaced && !replaced->empty()) return {true, {}};
  return {false, failure.reason, failure.logged};
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
                    Outcome outcome;
                    try {
                      outcome = install(*self);
                    } catch (...) {
                      outcome.reason = "out of memory";
                    }
                    if (!outcome.installed && !outcome.logged) {
                      Log::line("Cannot install the update: " + outcome.reason);
                    }
                    complete(handler, outcome.installed);
                  });
  return true;
}

void Sparkler::cleanUpInterruptedInstallations() {
  dispatch::async(dispatch::Priority::Low, [self = shared_from_this()] {
    cleanUpInterrupted(self->folder(), Bundle::mainBundle()->bundlePath());
  });
}

}  // namespace sparkler

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <utility>

#include "ProgressReporter.h"
#include "SparklerSettings.h"
#include "sparkler/Bundle.h"
#include "sparkler/DMGExtractor.h"
#include "sparkler/Dispatch.h"
#include "sparkler/FileManager.h"
#include "sparkler/Log.h"
#include "sparkler/Manifest.h"
#include "sparkler/Sparkler.h"

namespace sparkler {
namespace {

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
                        const std::filesystem::path& bundle, const std::string& tool) {
  std::string reason;
  if (cacheFolder && !cacheFolder->empty() && !DMGExtractor::reclaim(*cacheFolder, &reason, tool)) {
    Log::warning("Cannot clean up after an interrupted update: " + reason);
  }
  FileManager::removeAbandonedCopies((bundle / "Contents").string());
}

constexpr std::string_view kInstallFailed = "Cannot install the update: ";

SparklerError failure(SparklerErrc errc, std::string message) {
  return {make_error_code(errc), std::move(message)};
}

// The bundle an updater installs over: the configured one, else the main bundle as it is now.
std::filesystem::path bundleOf(const SparklerSettings& settings) {
  const auto& bundle = settings.configuration.bundle;
  return bundle.empty() ? Bundle::mainBundle()->bundlePath() : bundle;
}

}  // namespace

// The newest entry as it stands now (a check may have replaced the list since the caller
// looked), its image from the cache, checked and extracted over the bundle.
std::optional<SparklerError> Sparkler::install(bool& logged) {
  using Phase = SparklerProgress::Phase;
  std::shared_ptr<const nlohmann::json> list;
  bool listVerified = false;
  {
    // The list and whether it was read from a verified manifest, as one: setUpdates replaces
    // the list and forgets the verified bytes together.
    std::lock_guard lock(mutex_);
    list = updates_;
    listVerified = manifestBody_ != nullptr;
  }
  if (!list || !list->is_array() || list->empty()) {
    return failure(SparklerErrc::noUpdateAvailable, "no update is listed");
  }
  const nlohmann::json& newest = list->back();
  if (!newest.is_object() || newest.empty()) {
    return failure(SparklerErrc::newestEntryInvalid, "the newest update entry is empty");
  }
  const auto name = newest.find("name");
  if (name == newest.end() || !name->is_string()) {
    return failure(SparklerErrc::newestEntryInvalid, "the newest entry has no name");
  }
  const auto version = newest.find("version");
  const auto offered = version != newest.end() && version->is_string()
                           ? Version::versionWithString(version->get_ref<const std::string&>())
                           : std::nullopt;
  if (!offered) return failure(SparklerErrc::newestEntryInvalid, "the newest entry has no version");
  const auto image = cachedPath(name->get_ref<const std::string&>());
  if (!image || image->empty()) {
    return failure(SparklerErrc::imageUnreachable, "its disk image is no longer in the cache");
  }

  const auto settings = this->settings();
  const auto bundle = bundleOf(*settings);
  std::string identifier = settings->configuration.identifier;
  if (identifier.empty())
    identifier = Bundle::bundleWithPath(bundle)->bundleIdentifier().value_or("");
  if (identifier.empty()) {
    return failure(SparklerErrc::unusableConfiguration, "the running bundle has no identifier");
  }
  if (settings->item.empty()) {
    return failure(SparklerErrc::unusableConfiguration,
                   "the running bundle has no name (CFBundleName)");
  }
  // The tool of the bundle as it is now: the replacement swaps its Contents.
  const std::string tool = DMGExtractor::toolPath(bundle);
  cleanUpInterrupted(folder(), bundle, tool);

  if (settings->signatureRequired) {
    // The image is checked against the signed entry once more right before it is attached:
    // the cache folder may have been written to since the check verified it. A copy that no
    // longer matches is removed, and nothing is attached. (What remains, a change between
    // this read and the attach, is for the cache folder's permissions to prevent: only this
    // user can write there.)
    if (!listVerified) {
      return failure(SparklerErrc::signatureMissing,
                     "the listed updates were not read from a signed manifest");
    }
    std::string why;
    if (!Manifest::checkedEntry(newest, &why, settings->configuration.maximumSize, true)) {
      return failure(SparklerErrc::newestEntryInvalid, why);
    }
    if (!cached(newest, &why)) {
      return failure(SparklerErrc::imageMismatch,
                     "the cached image no longer matches its signed entry: " + why);
    }
  }

  struct stat imageInfo {};
  const std::uint64_t imageSize =
      ::stat(image->c_str(), &imageInfo) == 0 ? static_cast<std::uint64_t>(imageInfo.st_size) : 0;
  auto progress = reporter();
  // Which step failed tells the kind of failure: the extraction says why only in words.
  bool copying = false, refused = false;
  ExtractOptions options;
  options.tool = tool;
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
    progress.report(Phase::Replacing);
    auto problem = problemWithContents(contents, *offered, identifier);
    refused = problem.has_value();
    return problem;
  };
  options.replace.progress = [&](std::uint64_t bytes, std::uint64_t) {
    progress.report(Phase::Copying, bytes);
    return true;
  };
  options.phase = [&](ExtractPhase phase) {
    copying = copying || phase == ExtractPhase::copying;
    progress.report(phase == ExtractPhase::attaching ? Phase::Attaching
                    : phase == ExtractPhase::copying ? Phase::Copying
                                                     : Phase::Detaching);
  };
  ExtractFailure extracted;
  const auto replaced =
      DMGExtractor::extract(settings->item, *image, bundle.string(), options, &extracted);
  progress.report(Phase::Finished, 0, 0, true);
  if (replaced && !replaced->empty()) return std::nullopt;
  logged = extracted.logged;
  SparklerErrc errc = SparklerErrc::replaceFailed;
  if (!copying && !extracted.logged) {
    // The image could not be attached (or there was nothing to attach).
    errc = SparklerErrc::attachFailed;
  } else if (!copying) {
    // Attached, but the image's item is missing, a link, or not a folder.
    errc = SparklerErrc::itemRefused;
  } else if (refused) {
    errc = SparklerErrc::contentsRefused;
  } else if (extracted.stalled) {
    errc = SparklerErrc::stalled;
  }
  return failure(errc, extracted.reason);
}

void Sparkler::endUpdate(std::optional<SparklerError> failed) {
  std::lock_guard lock(mutex_);
  lastUpdateError_ = failed;
  if (failed) lastError_ = std::move(failed);
}

std::optional<SparklerError> Sparkler::lastUpdateError() const {
  std::lock_guard lock(mutex_);
  return lastUpdateError_;
}

bool Sparkler::update(std::function<void(bool)> handler) {
  if (!handler) return false;
  if (!updateAvailable()) {
    endUpdate(failure(SparklerErrc::noUpdateAvailable, "no update is available"));
    handler(false);
    return false;
  }
  dispatch::async(dispatch::Priority::Default,
                  [self = shared_from_this(), handler = std::move(handler)] {
                    std::optional<SparklerError> failed;
                    bool logged = false;
                    try {
                      failed = self->install(logged);
                    } catch (...) {
                      failed = failure(SparklerErrc::outOfMemory, "out of memory");
                    }
                    const bool installed = !failed;
                    // As a check's: the cause may quote the signed entry's name, and stays one
                    // short line whatever it quotes.
                    if (failed) {
                      failed->message = Manifest::excerpt(
                          failed->message, Manifest::kDescriptionBytes - kInstallFailed.size());
                      if (!logged) Log::error(std::string(kInstallFailed) + failed->message);
                    }
                    self->endUpdate(std::move(failed));
                    // Without a main loop the handler could never run; calling it here keeps the
                    // promise of exactly one call (this only happens in a process that is shutting
                    // down or misconfigured).
                    if (!self->post([handler, installed] { handler(installed); }))
                      handler(installed);
                  });
  return true;
}

void Sparkler::cleanUpInterruptedInstallations() {
  dispatch::async(dispatch::Priority::Low, [self = shared_from_this()] {
    const auto bundle = bundleOf(*self->settings());
    cleanUpInterrupted(self->folder(), bundle, DMGExtractor::toolPath(bundle));
  });
}

}  // namespace sparkler

#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "sparkler/Version.h"

namespace sparkler {

/// How long the updater's requests may take. A request fails when it has not connected
/// within `connect`, when fewer than one byte a second arrived over `stall`, and at its
/// deadline: `manifest` for the manifest; for an image, `imageFloor` plus the time its size
/// takes at `imageBytesPerSecond` (with the defaults, 60 s for the manifest and 60 s plus
/// 1 s per 64 KiB for an image: about 14 minutes for the largest). A server that drips its
/// answer holds a check, and with it the next one, no longer than that.
struct SparklerTimeLimits {
  std::chrono::milliseconds manifest = std::chrono::seconds(60);
  std::chrono::milliseconds imageFloor = std::chrono::seconds(60);
  std::uint64_t imageBytesPerSecond = 64 * 1024;
  std::chrono::milliseconds connect = std::chrono::seconds(30);
  std::chrono::seconds stall = std::chrono::seconds(60);
};

/// The self-updater: checks an update manifest about every five minutes, keeps the newest
/// update's disk image verified in a per-user cache folder and installs it on request.
/// Every property can be read from any thread; each read gives a whole value.
class Sparkler : public std::enable_shared_from_this<Sparkler> {
 public:
  /// Updates larger than this are never accepted.
  static constexpr std::uint64_t kMaximumSize = 50'000'000;
  /// Manifests larger than this are not read.
  static constexpr std::size_t kMaximumManifestSize = 1 << 20;

  /// How long the updater's requests may take (see SparklerTimeLimits).
  using TimeLimits = SparklerTimeLimits;

  /// The shared updater of the process, made on first use. Never null.
  static std::shared_ptr<Sparkler> sparkler();

  /// Configures the shared updater with the manifest URL (the cache folder first, then the
  /// manifest, which starts the check chain) and returns it; nullptr when `url` is nullopt.
  /// A later call keeps the first URL and starts no second chain.
  static std::shared_ptr<Sparkler> initialize(std::optional<std::string> url);

  /// A second updater: always nullptr, since the shared one exists from the first use.
  static std::shared_ptr<Sparkler> init();

  /// Keeps `url` and starts the check chain, the first time only; later calls do nothing.
  void setManifest(std::optional<std::string> url);

  /// Starts one check job on the low-priority queue and returns at once.
  void check();

  /// One complete, blocking check; false on any failure or when no newer update is verified
  /// in the cache. A failure is logged as one line, "UPDATE CHECK FAILED: " and its cause,
  /// and kept as checkFailure(). Partial downloads whose process is gone are removed first.
  bool coreCheck();

  /// Why the last check failed (the manifest could not be fetched or read, the running bundle
  /// has no version, the image could not be fetched or verified, ...); nullptr when it
  /// completed, whether it found an update or not, and before the first check.
  std::shared_ptr<const std::string> checkFailure() const;

  /// The time limits of this updater's requests.
  const TimeLimits& timeLimits() const noexcept { return timeLimits_; }

  /// The running bundle's version; nullopt when it has none that parses.
  std::optional<Version> currentVersion() const;

  /// The version of the newest entry of updates(); nullopt when there is none.
  std::optional<Version> latestVersion() const;

  /// Whether the disk image of `entry` lies intact (size and MD5) in the cache folder; false
  /// otherwise, with `reason` (when given) set to why, and a damaged copy is removed.
  bool cached(const nlohmann::json& entry, std::string* reason = nullptr);

  /// Whether the disk image of `entry` was fetched from the manifest's folder (a "200 OK"
  /// answer within the image's time limit), verified and stored atomically in the cache
  /// folder; false (cache untouched) on any failure, with `reason` (when given) set to why.
  /// The image is written to a locked file in the folder partialFolder() names until it is
  /// verified.
  bool download(const nlohmann::json& entry, std::string* reason = nullptr);

  /// The path of the file `name` in the cache folder when one exists there, unverified;
  /// nullopt for an empty or unsafe name, no folder, or no such file.
  std::optional<std::string> cachedPath(std::string_view name) const;

  /// Starts installing the newest update over the running bundle and returns true; `handler`
  /// then hears the outcome once, on the main loop. false when `handler` is empty (nothing is
  /// called) or no update is available (`handler(false)` has run before the return).
  bool update(std::function<void(bool)> handler);

  /// Cleans, on a background job, what installations interrupted by a killed process left:
  /// images of the cache folder still attached and partial copies beside the bundle's Contents.
  /// The first configuration does this once; each installation does it before it starts.
  void cleanUpInterruptedInstallations();

  /// Whether the last check found a newer update verified in the cache.
  bool updateAvailable() const noexcept { return updateAvailable_.load(); }
  void setUpdateAvailable(bool value) noexcept { updateAvailable_.store(value); }

  /// The manifest URL; nullptr until set.
  std::shared_ptr<const std::string> manifest() const;

  /// The array of the last manifest that parsed to a non-empty array; nullptr until then.
  std::shared_ptr<const nlohmann::json> updates() const;
  void setUpdates(std::shared_ptr<const nlohmann::json> updates);

  /// The cache folder's absolute path; nullptr until set.
  std::shared_ptr<const std::string> folder() const;
  void setFolder(std::shared_ptr<const std::string> folder);

  /// <user data folder>/<bundle identifier>/updates/software for the main bundle; nullopt
  /// when the bundle has no usable identifier.
  static std::optional<std::string> cacheFolderPath();

  /// Where downloads in progress are written: "<folder>.partial", beside the cache folder so
  /// that no entry's name can reach them; nullopt when `folder` has no parent.
  static std::optional<std::string> partialFolder(std::string_view folder);

  /// Whether `name` is one plain file name (not empty, ".", ".." nor longer than 255 bytes,
  /// and free of "/" and NUL).
  static bool isPlainFileName(std::string_view name) noexcept;

 private:
  // Tests make fresh updaters, independent of the shared one, through this.
  friend struct SparklerTesting;

  explicit Sparkler(TimeLimits limits = {}) : timeLimits_(limits) {}
  std::shared_ptr<Sparkler> configure(std::optional<std::string> url);
  void schedule(double start);

  const TimeLimits timeLimits_;
  std::atomic<bool> updateAvailable_{false};
  mutable std::mutex mutex_;
  std::shared_ptr<const std::string> manifest_;
  std::shared_ptr<const nlohmann::json> updates_;
  std::shared_ptr<const std::string> folder_;
  std::shared_ptr<const std::string> checkFailure_;
};

}  // namespace sparkler

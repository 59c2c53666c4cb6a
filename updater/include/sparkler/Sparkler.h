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

#include "sparkler/MainLoop.h"
#include "sparkler/ManifestSignature.h"
#include "sparkler/SparklerConfiguration.h"
#include "sparkler/SparklerError.h"
#include "sparkler/URLLoader.h"
#include "sparkler/Version.h"

namespace sparkler {

struct SparklerSettings;
class ProgressReporter;
class URLFetcher;

/// The self-updater: checks an update manifest every checkInterval (five minutes by default),
/// keeps the newest update's disk image verified in a per-user cache folder and installs it
/// over the bundle on request. The shared updater serves the main bundle; others are made
/// with create() for any bundle, each with its own configuration and dependencies.
/// Every property can be read from any thread; each read gives a whole value.
class Sparkler : public std::enable_shared_from_this<Sparkler> {
 public:
  /// Manifests larger than this are not read.
  static constexpr std::size_t kMaximumManifestSize = 1 << 20;

  /// How long the updater's requests may take (see SparklerTimeLimits).
  using TimeLimits = SparklerTimeLimits;

  /// An updater of its own for `configuration`, every default filled in from the bundle
  /// (see SparklerConfiguration), running on `dependencies`. It does nothing until start().
  /// nullptr when the configuration is unusable (no https manifest URL, no bundle identity,
  /// version or name, an unreadable CA file, a zero interval or size, a public key that does not
  /// decode): the cause is logged as "Cannot configure the updater: <cause>" and handed to
  /// `error` when given.
  static std::shared_ptr<Sparkler> create(SparklerConfiguration configuration,
                                          SparklerDependencies dependencies = {},
                                          SparklerError* error = nullptr);

  /// Creates the cache folder, cleans up after interrupted installations, runs the first
  /// check and then one every checkInterval, for as long as the updater lives. Once only.
  void start();

  /// The shared updater of the process, made on first use, for the main bundle. Never null.
  static std::shared_ptr<Sparkler> sparkler();

  /// Configures the shared updater with the manifest URL (the cache folder first, then the
  /// manifest, which starts the check chain) and returns it; nullptr when `url` is nullopt.
  /// A later call keeps the first URL and starts no second chain. What the main bundle lacks
  /// (identifier, name) is logged as "Cannot configure the updater: <cause>".
  static std::shared_ptr<Sparkler> initialize(std::optional<std::string> url);

  /// A second shared updater: always nullptr, since the shared one exists from the first use.
  static std::shared_ptr<Sparkler> init();

  /// Keeps `url` and starts the check chain, the first time only; later calls do nothing.
  void setManifest(std::optional<std::string> url);

  /// Starts one check job on the low-priority queue and returns at once.
  void check();

  /// One complete, blocking check; false on any failure or when no newer update is verified
  /// in the cache. A failure is logged as one line, "UPDATE CHECK FAILED: " and its cause,
  /// and kept as lastError(). Partial downloads whose process is gone are removed first.
  bool coreCheck();

  /// The last failure of a check, a download or an installation; nullopt before any and after
  /// a check that completed, whether it found an update or not.
  std::optional<SparklerError> lastError() const;

  /// Why the last installation failed; nullopt before any and after one that succeeded. Only
  /// update() changes it, so the handler of an installation reads its own failure here even
  /// when a check ended in between and replaced lastError().
  std::optional<SparklerError> lastUpdateError() const;

  /// Whether this updater reads only signed manifests: public keys are configured (see
  /// SparklerConfiguration::publicKeys).
  bool requiresSignature() const;

  /// What the last check made of the manifest's signature (its state, why it is not valid, its
  /// expiry when it could be read); nullopt when no signature is required, or the last check
  /// ended before it got to the signature (the manifest could not be fetched).
  std::optional<ManifestSignature::Verdict> lastSignature() const;

  /// The configuration in use, its defaults filled in (before initialize, the shared
  /// updater's is empty but for the built-in values).
  SparklerConfiguration configuration() const;

  /// The time limits of this updater's requests.
  TimeLimits timeLimits() const;

  /// The running bundle's version (the configured one, else the bundle's
  /// "CFBundleShortVersionString" read now); nullopt when it has none that parses.
  std::optional<Version> currentVersion() const;

  /// The version of the newest entry of updates(); nullopt when there is none.
  std::optional<Version> latestVersion() const;

  /// Whether the disk image of `entry` lies intact (size and MD5) in the cache folder; false
  /// otherwise, with `reason` (when given) set to why, and a damaged copy is removed.
  bool cached(const nlohmann::json& entry, std::string* reason = nullptr);

  /// Whether the disk image of `entry` was fetched from the manifest's folder (a "200 OK"
  /// answer within the image's time limit), verified and stored atomically in the cache
  /// folder; false (cache untouched) on any failure, with `reason` (when given) set to why and
  /// lastError() to the failure. The image is written to a locked file in the folder
  /// partialFolder() names until it is verified.
  bool download(const nlohmann::json& entry, std::string* reason = nullptr);

  /// The path of the file `name` in the cache folder when one exists there, unverified;
  /// nullopt for an empty or unsafe name, no folder, or no such file.
  std::optional<std::string> cachedPath(std::string_view name) const;

  /// Starts installing the newest update over the bundle and returns true; `handler` then
  /// hears the outcome once, on the main loop (a failure is kept as lastError()). false when
  /// `handler` is empty (nothing is called) or no update is available (`handler(false)` has
  /// run before the return).
  bool update(std::function<void(bool)> handler);

  /// Cleans, on a background job, what installations interrupted by a killed process left:
  /// images of the cache folder still attached and partial copies beside the bundle's Contents.
  /// The first configuration does this once; each installation does it before it starts.
  void cleanUpInterruptedInstallations();

  /// Has `observer` hear, on the main loop, what the progress callback hears and also the
  /// start and end of every check job (Phase::Checking, Phase::Checked); an empty function
  /// stops the reports. Replaces the observer set before.
  void setObserver(std::function<void(const SparklerProgress&)> observer);

  /// Whether the last check found a newer update verified in the cache.
  bool updateAvailable() const noexcept { return updateAvailable_.load(); }
  void setUpdateAvailable(bool value) noexcept { updateAvailable_.store(value); }

  /// The manifest URL; nullptr until set.
  std::shared_ptr<const std::string> manifest() const;

  /// The array of the last manifest that parsed to a non-empty array (and, when signatures
  /// are required, was verified first); nullptr until then. When signatures are required, a
  /// list given to setUpdates is never installed: update() fails with signatureMissing.
  std::shared_ptr<const nlohmann::json> updates() const;
  void setUpdates(std::shared_ptr<const nlohmann::json> updates);

  /// The cache folder's absolute path; nullptr until set.
  std::shared_ptr<const std::string> folder() const;
  void setFolder(std::shared_ptr<const std::string> folder);

  /// Where downloads in progress are written: "<folder>.partial", beside the cache folder so
  /// that no entry's name can reach them; nullopt when `folder` has no parent.
  static std::optional<std::string> partialFolder(std::string_view folder);

  /// Whether `name` is one plain file name (not empty, ".", ".." nor longer than 255 bytes,
  /// and free of "/" and NUL).
  static bool isPlainFileName(std::string_view name) noexcept;

 private:
  Sparkler(std::shared_ptr<const SparklerSettings> settings, SparklerDependencies dependencies);
  std::shared_ptr<Sparkler> configure(std::optional<std::string> url);
  void schedule(double start);
  std::shared_ptr<const SparklerSettings> settings() const;
  void setLastError(std::optional<SparklerError> error);
  // An installation's end: its failure (nullopt on success) becomes lastUpdateError() and, when
  // there is one, lastError() too, under one lock.
  void endUpdate(std::optional<SparklerError> failed);
  // The dependencies, or the process's defaults where none was given.
  double now() const;
  std::int64_t wallNow() const;
  std::shared_ptr<MainLoop> mainLoop() const;
  std::shared_ptr<URLFetcher> fetcher() const;
  // Runs `fn` on this updater's main loop; false (and `fn` dropped) when there is none.
  bool post(std::function<void()> fn) const;
  // A reporter for one download or installation, to the configured progress callback.
  ProgressReporter reporter() const;
  // One check: its failure, or nullopt with `available` set when it completed.
  std::optional<SparklerError> runCheck(bool& available);
  // Fetches the signature file of the manifest at `url` and verifies it for `manifest`'s
  // bytes; the failure when they are not signed by a trusted key and in date. The verdict is
  // kept as lastSignature().
  std::optional<SparklerError> verifyManifest(const std::string& url, std::string_view manifest,
                                              const SparklerSettings& settings,
                                              URLLoader::Limits limits);
  // Fetches, verifies and stores the image of `entry`; the failure otherwise.
  std::optional<SparklerError> downloadImage(const nlohmann::json& entry,
                                             ProgressReporter& progress);
  // The newest entry's image from the cache installed over the bundle; the failure otherwise,
  // with `logged` set when its cause is in the log already.
  std::optional<SparklerError> install(bool& logged);

  const SparklerDependencies dependencies_;
  std::atomic<bool> updateAvailable_{false};
  std::atomic<bool> started_{false};
  mutable std::mutex mutex_;
  std::shared_ptr<const SparklerSettings> settings_;
  std::shared_ptr<const std::string> manifest_;
  std::shared_ptr<const nlohmann::json> updates_;
  std::shared_ptr<const std::string> folder_;
  std::optional<SparklerError> lastError_;
  std::optional<SparklerError> lastUpdateError_;
  // The validators of the last manifest read, which `updates_` holds.
  URLLoader::Validators manifestValidators_;
  // The verified bytes of that manifest, when signatures are required; nullptr otherwise.
  std::shared_ptr<const std::string> manifestBody_;
  std::optional<ManifestSignature::Verdict> lastSignature_;
  // Posts `phase` of a check job to the observer; the progress callback does not hear it.
  void notify(SparklerProgress::Phase phase) const;
  std::shared_ptr<const std::function<void(const SparklerProgress&)>> observer_;
};

}  // namespace sparkler

#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sparkler/MainLoop.h"
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

/// Where a download or an installation has got to, as progress callbacks hear it.
struct SparklerProgress {
  enum class Phase {
    Downloading,  // the update's image is being fetched: `bytes` of `expected`
    Verified,     // the image is in the cache, verified
    Attaching,    // installation: the image is being attached
    Copying,      // installation: the new contents are being copied beside the bundle, `bytes`
                  // of file data so far (`expected` is 0: the total is not known beforehand)
    Replacing,    // installation: the copy is checked and swapped in
    Detaching,    // installation: the image is being detached
    Finished,     // installation over (the handler hears whether it succeeded)
    Checking,     // a check has started (observers only)
    Checked,      // a check has ended; updateAvailable() and lastError() tell its result
                  // (observers only)
  };
  Phase phase = Phase::Downloading;
  std::uint64_t bytes = 0;
  std::uint64_t expected = 0;
};

/// What an app that embeds the updater tells it. Only `manifestURL` is required; every other
/// field has a default taken from the bundle or from the updater's own conventions. Every
/// field has an initializer, so that designated initializers may name only some.
struct SparklerConfiguration {
  /// The https URL of the update manifest, "…/_.json"; the images lie beside it.
  std::string manifestURL{};
  /// The bundle folder to update ("/opt/Hello.app"); empty: the bundle of the running
  /// executable.
  std::filesystem::path bundle{};
  /// The app's identity; empty: the bundle's "CFBundleIdentifier".
  std::string identifier{};
  /// The running version; nullopt: the bundle's "CFBundleShortVersionString", read at every
  /// check.
  std::optional<Version> currentVersion{};
  /// The name of the app in its images: the image holds "<name>.app/Contents"; empty: the
  /// bundle's "CFBundleName".
  std::string name{};
  /// Where verified images are kept; empty: <user data folder>/<identifier>/updates/software.
  std::filesystem::path cacheFolder{};
  /// How often the manifest is checked.
  std::chrono::seconds checkInterval{300};
  /// A PEM file trusted besides the system's CA store; empty: the system store alone.
  std::filesystem::path extraCAFile{};
  /// The Ed25519 public keys (base64) of which one must have signed the manifest (see
  /// ManifestSignature); nullopt or empty: the bundle's "SparklerPublicKeys" (none when it has
  /// no such key), so that no configuration turns off what the bundle asks for. With keys, a
  /// manifest is read only when its signature verifies, and every image must match the SHA-256
  /// its entry gives; with none, images are checked by size and MD5 (and by a well-formed
  /// "sha256" when an entry gives one). A key that does not decode makes the configuration
  /// unusable.
  std::optional<std::vector<std::string>> publicKeys{};
  /// Updates larger than this many bytes are never accepted.
  std::uint64_t maximumSize = 50'000'000;
  /// How long requests may take.
  SparklerTimeLimits timeLimits{};
  /// Hears downloads and installations progress, on the main loop, at most about ten times
  /// a second (the first and last report of a phase always arrive); empty: no reports.
  std::function<void(const SparklerProgress&)> progress{};
};

class URLFetcher;

/// What the updater runs on. Each empty member takes the process's default: the main loop
/// set with dispatch::setMainLoop, libcurl, the system's monotonic clock, the system's wall
/// clock.
struct SparklerDependencies {
  std::shared_ptr<MainLoop> mainLoop{};
  std::shared_ptr<URLFetcher> fetcher{};
  /// Seconds on a clock that never goes back.
  std::function<double()> clock{};
  /// Unix seconds now, against which the expiry of a manifest's signature is judged.
  std::function<std::int64_t()> wallClock{};
};

}  // namespace sparkler

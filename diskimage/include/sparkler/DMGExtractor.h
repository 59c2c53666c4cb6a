#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "sparkler/FileManager.h"
#include "sparkler/MountInfo.h"

namespace sparkler {

/// The steps of an extraction, as ExtractOptions::phase hears them.
enum class ExtractPhase { attaching, copying, detaching };

/// The guards of a guarded extraction (see DMGExtractor::extract).
struct ExtractOptions {
  /// The guards of the copy: modes, owner, disk, item and depth bounds, links, validation.
  FileManager::ReplaceOptions replace;
  /// The item must be a folder.
  bool requireFolder = false;
  /// The most file data the copy may read, holes included (which cost no disk but time); zero:
  /// no bound.
  std::uint64_t maxBytesRead = 0;
  /// Once the image is attached, the extraction fails when the copy makes no progress for this
  /// long: the image is then force-detached, which also ends reads blocked on it. Zero: none.
  std::chrono::milliseconds stallLimit{0};
  /// How long one run of the disk image tool may take (the tool bounds the programs it runs
  /// in turn, well within this).
  static constexpr std::chrono::seconds kDefaultToolTimeLimit{150};
  std::chrono::milliseconds toolTimeLimit{kDefaultToolTimeLimit};
  /// Hears each step as it begins, on the calling thread.
  std::function<void(ExtractPhase)> phase;
  /// The disk image tool to run, for the attach and every detach of this extraction; empty:
  /// DMGExtractor::toolPath(). An updater names the tool of the bundle it replaces, found
  /// before the replacement: once a running bundle's Contents are replaced, the main bundle
  /// found through the running executable is gone.
  std::string tool;
};

/// Why a guarded extraction failed.
struct ExtractFailure {
  std::string reason;    // one line
  bool logged = false;   // already in the log (the "ERROR : <cause>" of a failed replacement)
  bool stalled = false;  // the image stopped responding and was forced off
};

/// Attaches and detaches disk images with the system's disk image tool and copies items out
/// of them. Stateless: every call runs the tool to completion on the calling thread.
///
/// The tool is run at toolPath(), the first of:
///  1. the path given to setToolPath (tests);
///  2. $SPARKLER_HDIUTIL when set and non-empty (tests, and developers running from a build tree);
///  3. <main bundle>/Contents/Helpers/hdiutil when that file is executable (a bundle that
///     carries its own tool);
///  4. the tool as installed, fixed at build time: /usr/bin/hdiutil on macOS,
///     <install prefix>/bin/hdiutil on Linux, when that file is executable, owned by root or
///     this user and writable by nobody else.
/// Nothing else: a shipped build never runs a program from the tree it was built in.
class DMGExtractor {
 public:
  DMGExtractor() = delete;

  /// The image's first mounted partition read from the tool's attach output; nullopt for an
  /// empty path (no process started), a tool that fails or exits non-zero, or output with no
  /// line in the grammar. An image the tool attached without printing such a line stays
  /// attached.
  static std::optional<MountInfo> mount(std::string_view image) noexcept;

  /// Detaches the device `disk` (a MountInfo's disk()); does nothing for an empty identifier.
  /// The outcome is not reported.
  static void eject(std::string_view disk) noexcept;

  /// The first line of `output` (split at "\n") that reads
  /// "/dev/<diskNsM><white space>Apple_HFS<white space>/Volumes/<name>", else the first that
  /// reads so with a user's folder of mount points, "/<folders>/Volumes/<name>"; nullopt when
  /// no line does or a capture is empty.
  static std::optional<MountInfo> mountInfoFromOutput(std::string_view output) noexcept;

  /// Attaches `image`, replaces the item named like the last component of `item` in the
  /// folder `destination` (made with its parents when missing) by a copy of `item` from the
  /// image's root, and detaches the image. Returns the replaced item's path
  /// (destination/lastComponent). nullopt when an argument is empty, the image cannot be
  /// attached, the destination folder cannot be made, or the replacement fails (logged as
  /// "ERROR : <cause>"; the destination's item is then kept as it was, also when `item` is
  /// missing from the image). A relative destination is refused by the replacement.
  static std::optional<std::string> extract(std::string_view item, std::string_view image,
                                            std::string_view destination) noexcept;

  /// extract(item, image, destination) guarded by `options`: the item must lie in the image
  /// itself (no symbolic link on its path from the mount point, nothing on another file
  /// system), and the copy is made, checked and swapped in as `options` say; the tool runs
  /// within its time limit and a copy that stalls is abandoned. nullopt as for the plain form,
  /// and when a guard refuses or a limit is hit; `failure` (when not null) then says why.
  static std::optional<std::string> extract(std::string_view item, std::string_view image,
                                            std::string_view destination,
                                            const ExtractOptions& options,
                                            ExtractFailure* failure) noexcept;

  /// Cleans what interrupted extractions of images in `imageFolder` left: detaches images whose
  /// owner process has ended and removes the tool's stale records and mount points. Images of
  /// running extractions are left alone. false, with `reason` when not null, when something
  /// could not be cleaned or the tool could not be run. `tool` as in ExtractOptions.
  static bool reclaim(std::string_view imageFolder, std::string* reason,
                      std::string_view tool = {}) noexcept;

  /// extract(item, image, <temporary folder>/<new UUID>); nullopt as for the full form.
  static std::optional<std::string> extract(std::string_view item, std::string_view image) noexcept;

  /// The path the tool is run at (see above).
  static std::string toolPath();

  /// The same search with `bundle` in place of the main bundle; empty when nothing is found.
  static std::string toolPath(const std::filesystem::path& bundle);

  /// Makes toolPath() return `path`; nullopt goes back to the search above.
  static void setToolPath(std::optional<std::string> path);
};

}  // namespace sparkler

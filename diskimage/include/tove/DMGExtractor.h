#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tove/MountInfo.h"

namespace tove {

/// Attaches and detaches disk images with the system's disk image tool and copies items out
/// of them. Stateless: every call runs the tool to completion on the calling thread.
///
/// The tool is run at toolPath(), the first of:
///  1. the path given to setToolPath (tests);
///  2. $TOVE_HDIUTIL when set and non-empty (tests, and running from a build tree);
///  3. <main bundle>/Contents/Helpers/hdiutil when that file is executable (a bundle that
///     carries its own tool);
///  4. the tool as installed, fixed at build time: /usr/bin/hdiutil on macOS,
///     <install prefix>/bin/hdiutil on Linux, when that file is executable;
///  5. the tool in the build tree that built this library.
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
  /// "/dev/<diskNsM><white space>Apple_HFS<white space>/Volumes/<name>"; nullopt when no line
  /// does or a capture is empty.
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

  /// extract(item, image, <temporary folder>/<new UUID>); nullopt as for the full form.
  static std::optional<std::string> extract(std::string_view item, std::string_view image) noexcept;

  /// The path the tool is run at (see above).
  static std::string toolPath();

  /// Makes toolPath() return `path`; nullopt goes back to the search above.
  static void setToolPath(std::optional<std::string> path);
};

}  // namespace tove

#pragma once

#include <optional>
#include <string>

namespace sparkler::hdiutil {

/// The mounts this process sees, read from /proc/self/mountinfo. Reading the table never
/// touches a mounted file system, so it is safe while a FUSE daemon does not answer.
class MountTable {
 public:
  /// Whether something is mounted exactly at `path` (an absolute path without symlinks);
  /// false when the table cannot be read.
  static bool isMountPoint(const std::string& path);

  /// The file system type of the topmost mount at `path` ("squashfs", "fuse.squashfuse");
  /// nullopt when nothing is mounted there or the table cannot be read.
  static std::optional<std::string> typeAt(const std::string& path);

  /// Whether `type` is a file system the tool mounts images with.
  static bool isDiskImageType(const std::string& type);
};

}  // namespace sparkler::hdiutil

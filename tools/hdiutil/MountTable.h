#pragma once

#include <string>

namespace tove::hdiutil {

/// The mounts this process sees, read from /proc/self/mountinfo.
class MountTable {
 public:
  /// Whether something is mounted exactly at `path` (an absolute path without symlinks);
  /// false when the table cannot be read.
  static bool isMountPoint(const std::string& path);
};

}  // namespace tove::hdiutil

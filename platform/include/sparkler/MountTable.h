#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sparkler::MountTable {

/// One mount as the kernel lists it, its fields unescaped.
struct Mount {
  std::string mountPoint;  // without symbolic links
  std::string type;        // "squashfs", "fuse.squashfuse", ...
};

/// The mounts this process sees, in the order they were made (later ones lie over earlier
/// ones); empty when the table cannot be read. Reading it never touches a mounted file
/// system, so it is safe while a FUSE daemon does not answer.
std::vector<Mount> mounts();

/// The type of the topmost mount exactly at `path` (absolute, without symbolic links);
/// nullopt when nothing is mounted there or the table cannot be read.
std::optional<std::string> typeAt(const std::string& path);

/// Whether something is mounted exactly at `path`; false when the table cannot be read.
bool isMountPoint(const std::string& path);

}  // namespace sparkler::MountTable

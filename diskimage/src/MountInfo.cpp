#include "sparkler/MountInfo.h"

namespace sparkler {

std::optional<MountInfo> MountInfo::infoWithDisk(std::string_view disk, std::string_view root) {
  if (disk.empty() || root.empty()) return std::nullopt;
  return MountInfo(std::string(disk), std::string(root));
}

}  // namespace sparkler

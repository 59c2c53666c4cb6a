#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sparkler {

/// An attached disk image: the device identifier of its mounted partition (for example
/// "disk4s1", without "/dev/") and the partition's mount point (for example
/// "/Volumes/Tove-1.0.1"). Both are non-empty in every record that exists.
class MountInfo {
 public:
  /// nullopt when `disk` or `root` is empty.
  static std::optional<MountInfo> infoWithDisk(std::string_view disk, std::string_view root);

  /// What DMGExtractor::eject is given.
  const std::string& disk() const noexcept { return disk_; }
  /// The folder below which the image's items are read.
  const std::string& root() const noexcept { return root_; }

 private:
  MountInfo(std::string disk, std::string root) : disk_(std::move(disk)), root_(std::move(root)) {}

  std::string disk_;
  std::string root_;
};

}  // namespace sparkler

#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tove::hdiutil {

/// What the tool remembers about one attached image, under its device number.
struct DiskRecord {
  int number = 0;          // N in diskN
  std::string image;       // absolute path of the image file
  std::string mountPoint;  // absolute path of the mount point
  std::string method;      // "fuse" or "kernel"
  pid_t daemon = 0;        // the squashfuse process serving the mount, 0 when none
};

/// The folder of records of attached images, held under an exclusive lock from open() to
/// destruction, so that two tools never pick the same device number or mount point.
///
/// Folder: $TOVE_HDIUTIL_STATE when set, else /run/tove-hdiutil for root, else
/// $XDG_RUNTIME_DIR/tove-hdiutil, else /tmp/tove-hdiutil-<uid>.
class DiskRegistry {
 public:
  /// The locked registry; nullopt with `error` set when its folder cannot be made or locked.
  static std::optional<DiskRegistry> open(std::string& error);

  DiskRegistry(DiskRegistry&& other) noexcept;
  DiskRegistry& operator=(DiskRegistry&&) = delete;
  DiskRegistry(const DiskRegistry&) = delete;
  ~DiskRegistry();

  /// The lowest device number without a record (from 1).
  int freeNumber() const;

  /// Writes the record atomically; false with `error` set when it cannot be written.
  bool write(const DiskRecord& record, std::string& error) const;

  /// The record of diskN; nullopt when there is none or it cannot be read.
  std::optional<DiskRecord> read(int number) const;

  /// Removes the record of diskN; false when it could not be removed.
  bool remove(int number) const;

 private:
  DiskRegistry(std::string folder, int lockFd) : folder_(std::move(folder)), lockFd_(lockFd) {}
  std::string pathOf(int number) const;

  std::string folder_;
  int lockFd_ = -1;
};

}  // namespace tove::hdiutil

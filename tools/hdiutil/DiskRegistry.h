#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Programs.h"
#include "sparkler/FileDescriptor.h"

namespace sparkler::hdiutil {

/// What the tool remembers about one attached image, under its device number. A record is
/// written before anything is mounted and completed afterwards, so that whatever a killed
/// tool leaves behind is named by a record.
struct DiskRecord {
  int number = 0;              // N in diskN
  std::string image;           // absolute path of the image file
  std::string mountPoint;      // the mount point as printed: the folder of mount points + name
  std::string realMountPoint;  // the same without symbolic links, as /proc/self/mountinfo has it
  std::string method;          // "fuse" or "kernel"
  pid_t daemon = 0;            // the squashfuse process serving the mount, 0 when none is known
  ProcessIdentity owner;       // the process that ran the attaching tool; {0, 0} when unknown
  ProcessIdentity attacher;    // the attaching tool while the attach is unfinished, else {0, 0}

  bool unfinished() const { return attacher.pid != 0; }
};

/// The folder of records of attached images. Every change to it is made under an exclusive
/// lock, held from open() to destruction, so that two tools never pick the same device number
/// or mount point.
///
/// Folder: UserFolders::records().
class DiskRegistry {
 public:
  /// The locked registry; nullopt with `error` set when its folder cannot be made, or it
  /// cannot be locked within `lockLimit` (another tool holds it).
  static std::optional<DiskRegistry> open(std::chrono::milliseconds lockLimit, std::string& error);

  DiskRegistry(DiskRegistry&& other) noexcept = default;
  DiskRegistry& operator=(DiskRegistry&&) = delete;
  DiskRegistry(const DiskRegistry&) = delete;

  /// The lowest device number without a record (from 1).
  int freeNumber() const;

  /// The device numbers that have a record, readable or not, in increasing order.
  std::vector<int> numbers() const;

  /// Writes the record atomically; false with `error` set when it cannot be written.
  bool write(const DiskRecord& record, std::string& error) const;

  /// The record of diskN; nullopt when there is none or it cannot be read. Records of the
  /// previous format are read with no owner, as left by a tool that has ended.
  std::optional<DiskRecord> read(int number) const;

  /// Removes the record of diskN; false when it could not be removed.
  bool remove(int number) const;

 private:
  DiskRegistry(std::string folder, FileDescriptor lock)
      : folder_(std::move(folder)), lock_(std::move(lock)) {}
  std::string pathOf(int number) const;

  std::string folder_;
  FileDescriptor lock_;
};

}  // namespace sparkler::hdiutil

#include "DiskRegistry.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "UserFolders.h"
#include "sparkler/Files.h"
#include "sparkler/FolderStream.h"

namespace sparkler::hdiutil {
namespace {

// Records hold paths, which may contain any byte but NUL: fields are NUL-terminated.
constexpr char kFormat[] = "tove-hdiutil-record-2";
constexpr char kPreviousFormat[] = "tove-hdiutil-record-1";
// A record is a few paths; anything larger is not one of ours.
constexpr std::size_t kMaxRecordBytes = 64 * 1024;
constexpr int kMaxNumber = 999999;

std::string text(unsigned long long number) {
  return std::to_string(number);
}

template <class Number>
Number parsed(const std::string& field) {
  return static_cast<Number>(std::strtoull(field.c_str(), nullptr, 10));
}

// The mount point without symbolic links, for records that did not keep it: its folder is
// resolved, never the mount point itself, which may be served by a daemon that does not answer.
std::string realMountPointOf(const std::string& mountPoint) {
  const auto slash = mountPoint.rfind('/');
  if (slash == std::string::npos || slash == 0) return mountPoint;
  char buffer[PATH_MAX];
  const std::string folder = mountPoint.substr(0, slash);
  if (::realpath(folder.c_str(), buffer) == nullptr) return mountPoint;
  return std::string(buffer) + mountPoint.substr(slash);
}

bool makeFolder(const std::string& folder, std::string& error) {
  // Parents first, for a state folder given by the environment.
  for (std::size_t slash = folder.find('/', 1); slash != std::string::npos;
       slash = folder.find('/', slash + 1)) {
    ::mkdir(folder.substr(0, slash).c_str(), 0755);
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create the state folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
    error = "the state folder " + folder + " is not a folder of this user";
    return false;
  }
  return true;
}

}  // namespace

std::optional<DiskRegistry> DiskRegistry::open(std::chrono::milliseconds lockLimit,
                                               std::string& error) {
  const std::string folder = UserFolders::records();
  if (!makeFolder(folder, error)) return std::nullopt;
  // Close-on-exec, so that a mount daemon started under the lock does not keep holding it.
  FileDescriptor lock(::open((folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock) {
    error = "cannot open the lock in " + folder + ": " + std::strerror(errno);
    return std::nullopt;
  }
  // Every holder of the lock works within time limits of its own, but a holder that was
  // stopped (SIGSTOP) would hold it for ever: wait for it only so long.
  const auto deadline = std::chrono::steady_clock::now() + lockLimit;
  while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      error = "cannot lock " + folder + ": " + std::strerror(errno);
      return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      error = "another hdiutil has held the lock on " + folder + " for longer than " +
              std::to_string(lockLimit.count() / 1000) + " s";
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return DiskRegistry(folder, std::move(lock));
}

std::string DiskRegistry::pathOf(int number) const {
  return folder_ + "/disk" + std::to_string(number);
}

std::vector<int> DiskRegistry::numbers() const {
  std::set<int> taken;
  FolderStream folder(FileDescriptor(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (!folder) return {};
  while (const char* name = folder.next()) {
    if (std::strncmp(name, "disk", 4) != 0 || name[4] < '1' || name[4] > '9') continue;
    char* end = nullptr;
    const long n = std::strtol(name + 4, &end, 10);
    if (*end == '\0' && n > 0 && n <= kMaxNumber) taken.insert(int(n));
  }
  return {taken.begin(), taken.end()};
}

int DiskRegistry::freeNumber() const {
  int number = 1;
  for (const int taken : numbers()) {
    if (taken != number) break;
    ++number;
  }
  return number;
}

bool DiskRegistry::write(const DiskRecord& record, std::string& error) const {
  const std::string path = pathOf(record.number);
  std::string bytes;
  for (const std::string& field :
       {std::string(kFormat), record.image, record.mountPoint, record.realMountPoint, record.method,
        text(record.daemon), text(record.owner.pid), text(record.owner.startTime),
        text(record.attacher.pid), text(record.attacher.startTime)}) {
    bytes += field;
    bytes.push_back('\0');
  }
  if (const auto failure = Files::writeAtomically(path, bytes)) {
    error = "cannot write the record " + path + ": " + failure.message();
    return false;
  }
  return true;
}

std::optional<DiskRecord> DiskRegistry::read(int number) const {
  const auto bytes = Files::readFile(pathOf(number), kMaxRecordBytes);
  if (!bytes) return std::nullopt;
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (auto end = bytes->find('\0'); end != std::string::npos; end = bytes->find('\0', start)) {
    fields.push_back(bytes->substr(start, end - start));
    start = end + 1;
  }
  DiskRecord record;
  record.number = number;
  if (fields.size() == 5 && fields[0] == kPreviousFormat) {
    // Written before records named their owner: its tool and owner are long gone.
    record.image = fields[1];
    record.mountPoint = fields[2];
    record.realMountPoint = realMountPointOf(fields[2]);
    record.method = fields[3];
    record.daemon = parsed<pid_t>(fields[4]);
    return record;
  }
  if (fields.size() != 10 || fields[0] != kFormat) return std::nullopt;
  record.image = fields[1];
  record.mountPoint = fields[2];
  record.realMountPoint = fields[3];
  record.method = fields[4];
  record.daemon = parsed<pid_t>(fields[5]);
  record.owner = {parsed<pid_t>(fields[6]), parsed<unsigned long long>(fields[7])};
  record.attacher = {parsed<pid_t>(fields[8]), parsed<unsigned long long>(fields[9])};
  if (record.mountPoint.empty() || record.realMountPoint.empty()) return std::nullopt;
  return record;
}

bool DiskRegistry::remove(int number) const {
  return ::unlink(pathOf(number).c_str()) == 0 || errno == ENOENT;
}

}  // namespace sparkler::hdiutil

#include "DiskRegistry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

namespace tove::hdiutil {
namespace {

// Records hold paths, which may contain any byte but NUL: fields are NUL-terminated.
constexpr char kFormat[] = "tove-hdiutil-record-1";

std::string registryFolder() {
  if (const char* state = std::getenv("TOVE_HDIUTIL_STATE"); state != nullptr && *state != 0) {
    return state;
  }
  if (::geteuid() == 0) return "/run/tove-hdiutil";
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/') {
    return std::string(runtime) + "/tove-hdiutil";
  }
  return "/tmp/tove-hdiutil-" + std::to_string(::geteuid());
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

std::optional<DiskRegistry> DiskRegistry::open(std::string& error) {
  const std::string folder = registryFolder();
  if (!makeFolder(folder, error)) return std::nullopt;
  // Close-on-exec, so that a mount daemon started under the lock does not keep holding it.
  const int fd = ::open((folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot open the lock in " + folder + ": " + std::strerror(errno);
    return std::nullopt;
  }
  int locked = 0;
  do {
    locked = ::flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    error = "cannot lock " + folder + ": " + std::strerror(errno);
    ::close(fd);
    return std::nullopt;
  }
  return DiskRegistry(folder, fd);
}

DiskRegistry::DiskRegistry(DiskRegistry&& other) noexcept
    : folder_(std::move(other.folder_)), lockFd_(other.lockFd_) {
  other.lockFd_ = -1;
}

DiskRegistry::~DiskRegistry() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

std::string DiskRegistry::pathOf(int number) const {
  return folder_ + "/disk" + std::to_string(number);
}

int DiskRegistry::freeNumber() const {
  std::set<int> taken;
  if (DIR* dir = ::opendir(folder_.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const char* name = entry->d_name;
      if (std::strncmp(name, "disk", 4) != 0) continue;
      char* end = nullptr;
      const long n = std::strtol(name + 4, &end, 10);
      if (end != name + 4 && *end == '\0' && n > 0 && n < 1000000) taken.insert(int(n));
    }
    ::closedir(dir);
  }
  int number = 1;
  while (taken.count(number) != 0) ++number;
  return number;
}

bool DiskRegistry::write(const DiskRecord& record, std::string& error) const {
  const std::string path = pathOf(record.number);
  const std::string temporary = path + ".new";
  std::string bytes;
  for (const std::string& field : {std::string(kFormat), record.image, record.mountPoint,
                                   record.method, std::to_string(record.daemon)}) {
    bytes += field;
    bytes.push_back('\0');
  }
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      error = "cannot write the record " + temporary;
      ::unlink(temporary.c_str());
      return false;
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot write the record " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::optional<DiskRecord> DiskRegistry::read(int number) const {
  std::ifstream in(pathOf(number), std::ios::binary);
  if (!in) return std::nullopt;
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (auto end = bytes.find('\0'); end != std::string::npos; end = bytes.find('\0', start)) {
    fields.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  if (fields.size() != 5 || fields[0] != kFormat) return std::nullopt;
  DiskRecord record;
  record.number = number;
  record.image = fields[1];
  record.mountPoint = fields[2];
  record.method = fields[3];
  record.daemon = static_cast<pid_t>(std::strtol(fields[4].c_str(), nullptr, 10));
  return record;
}

bool DiskRegistry::remove(int number) const {
  return ::unlink(pathOf(number).c_str()) == 0 || errno == ENOENT;
}

}  // namespace tove::hdiutil

#include "tove/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tove::FileManager {
namespace {

std::error_code lastError() {
  return {errno, std::generic_category()};
}

struct FileDescriptor {
  int fd = -1;
  explicit FileDescriptor(int value) : fd(value) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

std::string randomSuffix() {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6] = {};
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // Uniqueness, not secrecy, is needed here; the creation below is exclusive anyway.
    static unsigned counter = 0;
    const auto seed = static_cast<unsigned>(getpid()) * 2654435761u + ++counter;
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(seed >> i);
  }
  std::string suffix;
  for (const auto byte : bytes) suffix += kLetters[byte % (sizeof kLetters - 1)];
  return suffix;
}

std::error_code copyFileContents(int from, int to) {
  for (;;) {
    const auto copied = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
    if (copied == 0) return {};
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
      return lastError();
    }
    break;  // not supported between these files: plain reads and writes
  }
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const auto got = ::read(from, buffer.data(), buffer.size());
    if (got == 0) return {};
    if (got < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    for (ssize_t written = 0; written < got;) {
      const auto put =
          ::write(to, buffer.data() + written, static_cast<std::size_t>(got - written));
      if (put < 0) {
        if (errno == EINTR) continue;
        return lastError();
      }
      written += put;
    }
  }
}

class TreeCopier {
 public:
  // The destination's own identity, so that a destination inside the source tree (the old
  // item lying within the new one) is not copied into itself.
  dev_t skipDevice = 0;
  ino_t skipInode = 0;
  bool haveSkip = false;

  std::error_code copy(const std::string& from, const std::string& to) {
    struct stat info {};
    if (::lstat(from.c_str(), &info) != 0) return lastError();
    const mode_t mode = info.st_mode & 07777;
    if (S_ISLNK(info.st_mode)) return copyLink(from, to);
    if (S_ISREG(info.st_mode)) return copyFile(from, to, info);
    if (S_ISDIR(info.st_mode)) return copyFolder(from, to, mode);
    // Devices, FIFOs and sockets have no place in an application bundle, and reading a
    // FIFO could block for ever.
    return std::make_error_code(std::errc::operation_not_supported);
  }

  void noteDestination(const std::string& to) {
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0) {
      skipDevice = info.st_dev;
      skipInode = info.st_ino;
      haveSkip = true;
    }
  }

 private:
  static std::error_code copyLink(const std::string& from, const std::string& to) {
    std::vector<char> target(256);
    for (;;) {
      const auto length = ::readlink(from.c_str(), target.data(), target.size());
      if (length < 0) return lastError();
      if (static_cast<std::size_t>(length) < target.size()) {
        target[static_cast<std::size_t>(length)] = '\0';
        break;
      }
      target.resize(target.size() * 2);
    }
    if (::symlink(target.data(), to.c_str()) != 0) return lastError();
    return {};
  }

  static std::error_code copyFile(const std::string& from, const std::string& to,
                                  const struct stat& info) {
    FileDescriptor source(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (source.fd < 0) return lastError();
    FileDescriptor target(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (target.fd < 0) return lastError();
    if (auto error = copyFileContents(source.fd, target.fd)) return error;
    if (::fchmod(target.fd, info.st_mode & 07777) != 0) return lastError();
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    ::futimens(target.fd, times);  // times are kept when possible; not worth failing over
    if (::close(target.fd) != 0) {
      target.fd = -1;
      return lastError();
    }
    target.fd = -1;
    return {};
  }

  std::error_code copyFolder(const std::string& from, const std::string& to, mode_t mode) {
    // Owner-writable while filling; the source's mode is set once the contents are in.
    if (::mkdir(to.c_str(), 0700) != 0) return lastError();
    if (!haveSkip) noteDestination(to);
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(from.c_str()), ::closedir);
    if (!folder) return lastError();
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(folder.get());
      if (entry == nullptr) {
        if (errno != 0) return lastError();
        break;
      }
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string source = from + "/" + name;
      if (haveSkip) {
        struct stat info {};
        if (::lstat(source.c_str(), &info) == 0 && info.st_dev == skipDevice &&
            info.st_ino == skipInode) {
          continue;
        }
      }
      if (auto error = copy(source, to + "/" + name)) return error;
    }
    if (::chmod(to.c_str(), mode) != 0) return lastError();
    return {};
  }
};

// Removes a tree without following links; folders are made writable first so that a
// read-only folder in the tree does not stop the removal.
std::error_code removeTree(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return errno == ENOENT ? std::error_code() : lastError();
  }
  if (!S_ISDIR(info.st_mode)) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return lastError();
    return {};
  }
  if ((info.st_mode & S_IRWXU) != S_IRWXU) ::chmod(path.c_str(), (info.st_mode & 07777) | S_IRWXU);
  std::vector<std::string> names;
  {
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(path.c_str()), ::closedir);
    if (!folder) return lastError();
    while (const dirent* entry = ::readdir(folder.get())) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
  }
  std::error_code first;
  for (const auto& name : names) {
    if (auto error = removeTree(path + "/" + name); error && !first) first = error;
  }
  if (::rmdir(path.c_str()) != 0 && !first) first = lastError();
  return first;
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// Splits "/a/b/c" (trailing separators ignored) into "/a/b" and "c". Nothing to split for
// "/" or a last component of "." or "..", which do not name an item that can be replaced.
bool splitPath(std::string path, std::string& folder, std::string& name) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  name = path.substr(slash + 1);
  folder = slash == 0 ? std::string("/") : path.substr(0, slash);
  return !name.empty() && name != "." && name != "..";
}

std::string siblingPath(const std::string& folder, const std::string& name) {
  return (folder == "/" ? folder : folder + "/") + "." + name + ".tove-" + randomSuffix();
}

std::error_code replace(const std::string& oldPath, const std::string& newPath) {
  std::string folder;
  std::string name;
  if (!splitPath(oldPath, folder, name)) return std::make_error_code(std::errc::invalid_argument);
  const std::string target = folder == "/" ? "/" + name : folder + "/" + name;

  if (!exists(newPath)) return lastError();

  // 1. A full copy beside the old item, on the same file system, under a fresh hidden name.
  std::string copyPath;
  std::error_code error;
  for (int attempt = 0;; ++attempt) {
    copyPath = siblingPath(folder, name);
    TreeCopier copier;
    error = copier.copy(newPath, copyPath);
    if (error != std::errc::file_exists || exists(copyPath) || attempt == 16) break;
  }
  if (error) {
    removeTree(copyPath);
    return error;
  }

  // 2. Swap it in. The exchange is atomic: the path always holds the old or the new item.
  if (::renameat2(AT_FDCWD, copyPath.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    removeTree(copyPath);
    return {};
  }
  const int exchangeError = errno;
  if (exchangeError == ENOENT && !exists(target)) {
    // Nothing stands at the old path, which counts as removed.
    if (::rename(copyPath.c_str(), target.c_str()) == 0) return {};
    error = lastError();
    removeTree(copyPath);
    return error;
  }
  if (exchangeError != EINVAL && exchangeError != ENOSYS && exchangeError != EOPNOTSUPP) {
    removeTree(copyPath);
    return {exchangeError, std::generic_category()};
  }

  // File systems without exchange: move the old item aside, move the copy in, and put the
  // old item back if that second step fails.
  const std::string asidePath = siblingPath(folder, name);
  if (::rename(target.c_str(), asidePath.c_str()) != 0) {
    error = lastError();
    removeTree(copyPath);
    return error;
  }
  if (::rename(copyPath.c_str(), target.c_str()) != 0) {
    error = lastError();
    ::rename(asidePath.c_str(), target.c_str());
    removeTree(copyPath);
    return error;
  }
  removeTree(asidePath);
  return {};
}

}  // namespace

bool replaceItemAtPath(std::string_view oldPath, std::string_view newPath,
                       std::error_code* error) noexcept {
  if (newPath.empty() || newPath.front() != '/') return false;
  if (oldPath.empty() || oldPath.front() != '/') return false;
  std::error_code result;
  try {
    result = replace(std::string(oldPath), std::string(newPath));
  } catch (const std::bad_alloc&) {
    result = std::make_error_code(std::errc::not_enough_memory);
  } catch (...) {
    result = std::make_error_code(std::errc::io_error);
  }
  if (result && error != nullptr) *error = result;
  return !result;
}

}  // namespace tove::FileManager

#include "sparkler/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sparkler/FileDescriptor.h"
#include "sparkler/Folders.h"

namespace sparkler::Files {
namespace {

std::error_code lastError() noexcept {
  return {errno, std::generic_category()};
}

void report(std::error_code* error, std::error_code cause) {
  if (error != nullptr) *error = cause;
}

}  // namespace

std::optional<std::string> readAll(int fd, std::size_t maxBytes, std::error_code* error) {
  std::string bytes;
  char buffer[16 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return bytes;
    if (n < 0) {
      if (errno == EINTR) continue;
      report(error, lastError());
      return std::nullopt;
    }
    if (static_cast<std::size_t>(n) > maxBytes - bytes.size()) {
      report(error, std::make_error_code(std::errc::file_too_large));
      return std::nullopt;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> readFile(const std::string& path, std::size_t maxBytes,
                                    std::error_code* error) {
  const FileDescriptor fd(
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    report(error, lastError());
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    report(error, lastError());
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) {
    report(error, std::make_error_code(std::errc::invalid_argument));
    return std::nullopt;
  }
  return readAll(fd.get(), maxBytes, error);
}

bool writeAll(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::error_code writeAtomically(const std::string& path, std::string_view data,
                                unsigned mode) noexcept {
  try {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return std::make_error_code(std::errc::is_a_directory);
    const FileDescriptor folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd) return lastError();

    // A hidden sibling on the same file system under a name nobody can guess, created
    // exclusively so that nothing planted there is written through.
    const std::string temporary = "." + name.substr(0, 200) + "." + Folders::newUUIDString();
    FileDescriptor file(::openat(folderFd.get(), temporary.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                 static_cast<mode_t>(mode)));
    if (!file) return lastError();
    std::error_code failure;
    if (::fchmod(file.get(), static_cast<mode_t>(mode)) != 0 || !writeAll(file.get(), data) ||
        ::fsync(file.get()) != 0) {
      failure = lastError();
    }
    if (!failure && ::close(file.release()) != 0) failure = lastError();
    if (!failure &&
        ::renameat(folderFd.get(), temporary.c_str(), folderFd.get(), name.c_str()) != 0) {
      failure = lastError();
    }
    if (failure) {
      ::unlinkat(folderFd.get(), temporary.c_str(), 0);
      return failure;
    }
    if (::fsync(folderFd.get()) != 0) return lastError();
    return {};
  } catch (...) {
    return std::make_error_code(std::errc::not_enough_memory);
  }
}

}  // namespace sparkler::Files

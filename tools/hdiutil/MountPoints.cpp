#include "MountPoints.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "sparkler/Hex.h"
#include "sparkler/Utf8.h"

namespace sparkler::hdiutil {
namespace {

// "Name 1" to "Name 9" keep the names people expect for a few images at once; past them a
// name must be one nobody can create in advance.
constexpr int kNumbered = 9;
constexpr int kRandomAttempts = 8;
// 48 random bits: a squatter cannot create a useful share of the names in advance.
constexpr std::size_t kRandomBytes = 6;

}  // namespace

// The output line that names the volume is read up to its end after the tool's output has
// been trimmed, so the name must stay on one line, be valid UTF-8 and not end in white space.
std::string MountPoints::volumeName(const std::string& image) {
  std::string name = std::filesystem::path(image).filename().string();
  if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  std::string clean;
  for (std::size_t i = 0; i < name.size();) {
    char32_t point = 0;
    const std::size_t length = Utf8::decodeAt(name, i, point);
    if (length == 0 || Utf8::isControlOrLineBreak(point)) {
      clean.push_back('_');
      i += length == 0 ? 1 : length;
    } else {
      clean.append(name, i, length);
      i += length;
    }
  }
  clean = fit(clean, 0);
  if (clean.empty() || clean == "." || clean == "..") clean = "Untitled";
  return clean;
}

std::string MountPoints::fit(const std::string& name, std::size_t reserve) {
  std::string fitted = name;
  const std::size_t room = reserve < kMaxName ? kMaxName - reserve : 0;
  if (fitted.size() > room) {
    // Never keep the first bytes of a character without its last.
    fitted.resize(Utf8::boundaryAtOrBefore(fitted, room));
  }
  fitted.resize(Utf8::lengthWithoutTrailingSpace(fitted));
  return fitted;
}

std::optional<std::string> MountPoints::candidate(const std::string& name, int attempt,
                                                  std::string& error) {
  if (attempt == 0) return fit(name, 0);
  if (attempt <= kNumbered) {
    const std::string suffix = " " + std::to_string(attempt);
    return fit(name, suffix.size()) + suffix;
  }
  if (attempt > kNumbered + kRandomAttempts) return std::nullopt;
  unsigned char bytes[kRandomBytes];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error =
          std::string("cannot pick a mount point name: no random bytes: ") + std::strerror(errno);
      return std::nullopt;
    }
    got += static_cast<std::size_t>(n);
  }
  const std::string suffix = " " + Hex::encode(bytes, sizeof bytes);
  return fit(name, suffix.size()) + suffix;
}

std::optional<std::string> MountPoints::prepareFolder(const std::string& volumes, bool shared) {
  struct stat info {};
  if (::lstat(volumes.c_str(), &info) != 0) {
    std::error_code error;
    if (errno != ENOENT) {
      error.assign(errno, std::generic_category());
    } else if (shared) {
      if (::mkdir(volumes.c_str(), 01777) == 0) {
        // mkdir's mode passes through the umask; a shared folder must be writable by all.
        ::chmod(volumes.c_str(), 01777);
      } else if (errno != EEXIST) {
        error.assign(errno, std::generic_category());
      }
    } else {
      std::filesystem::create_directories(volumes, error);
    }
    if (error) {
      std::string reason = "cannot create " + volumes + ": " + error.message();
      if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
          error == std::errc::read_only_file_system) {
        reason += " (create it once with: sudo mkdir -m 1777 " + volumes + ")";
      }
      return reason;
    }
    if (::lstat(volumes.c_str(), &info) != 0) {
      return "cannot read " + volumes + ": " + std::strerror(errno);
    }
  }
  if (S_ISLNK(info.st_mode)) return volumes + " is a symbolic link, not a folder";
  if (!S_ISDIR(info.st_mode)) return volumes + " is not a folder";
  if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
    return volumes + " belongs to another user (uid " + std::to_string(info.st_uid) + ")";
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
    return volumes + " may be written by others but is not sticky (fix with: sudo chmod +t " +
           volumes + ")";
  }
  return std::nullopt;
}

}  // namespace sparkler::hdiutil

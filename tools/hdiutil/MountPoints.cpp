#include "MountPoints.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace sparkler::hdiutil {
namespace {

// "Name 1" to "Name 9" keep the names people expect for a few images at once; past them a
// name must be one nobody can create in advance.
constexpr int kNumbered = 9;
constexpr int kRandomAttempts = 8;
// 48 random bits: a squatter cannot create a useful share of the names in advance.
constexpr std::size_t kRandomBytes = 6;

// Decodes one UTF-8 sequence at `i`; returns its length and code point, or 0 when invalid.
std::size_t decode(const std::string& text, std::size_t i, char32_t& point) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = lead < 0x80         ? 1
                       : (lead >> 5) == 6  ? 2
                       : (lead >> 4) == 14 ? 3
                       : (lead >> 3) == 30 ? 4
                                           : 0;
  if (length == 0 || i + length > text.size()) return 0;
  point = length == 1   ? lead
          : length == 2 ? (lead & 0x1F)
          : length == 3 ? (lead & 0x0F)
                        : (lead & 0x07);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    point = (point << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    return 0;
  }
  return length;
}

bool isSpace(char32_t point) {
  return point == ' ' || point == 0xA0 || point == 0x1680 || (point >= 0x2000 && point <= 0x200A) ||
         point == 0x202F || point == 0x205F || point == 0x3000;
}

// The length of `text` (valid UTF-8) without the white space at its end.
std::size_t withoutTrailingSpace(const std::string& text) {
  std::size_t keep = 0;
  for (std::size_t i = 0; i < text.size();) {
    char32_t point = 0;
    const std::size_t length = decode(text, i, point);
    i += length == 0 ? 1 : length;
    if (length == 0 || !isSpace(point)) keep = i;
  }
  return keep;
}

}  // namespace

// The output line that names the volume is read up to its end after the tool's output has
// been trimmed, so the name must stay on one line, be valid UTF-8 and not end in white space.
std::string MountPoints::volumeName(const std::string& image) {
  std::string name = std::filesystem::path(image).filename().string();
  if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  std::string clean;
  for (std::size_t i = 0; i < name.size();) {
    char32_t point = 0;
    const std::size_t length = decode(name, i, point);
    const bool lineBreakOrControl = point < 0x20 || point == 0x7F ||
                                    (point >= 0x80 && point < 0xA0) || point == 0x2028 ||
                                    point == 0x2029;
    if (length == 0 || lineBreakOrControl) {
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
    std::size_t cut = room;
    // Never keep the first bytes of a character without its last.
    while (cut > 0 && (static_cast<unsigned char>(fitted[cut]) & 0xC0) == 0x80) --cut;
    fitted.resize(cut);
  }
  fitted.resize(withoutTrailingSpace(fitted));
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
  static constexpr char kHex[] = "0123456789abcdef";
  std::string suffix = " ";
  for (const unsigned char byte : bytes) {
    suffix.push_back(kHex[byte >> 4]);
    suffix.push_back(kHex[byte & 0x0F]);
  }
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

#include "UserFolders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sparkler::hdiutil {
namespace {

std::string privateFallback() {
  return "/tmp/tove-hdiutil-" + std::to_string(::geteuid());
}

}  // namespace

std::optional<std::string> UserFolders::runtime() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime != '/') return std::nullopt;
  // A runtime folder others could enter, or one that is not ours, would let them reach our
  // records and mount points: such a setting is not trusted.
  struct stat info {};
  if (::lstat(runtime, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
      (info.st_mode & 07777) != 0700) {
    return std::nullopt;
  }
  return std::string(runtime);
}

std::string UserFolders::records() {
  if (const char* state = std::getenv("SPARKLER_HDIUTIL_STATE"); state != nullptr && *state != 0) {
    return state;
  }
  // Root's records stay where earlier versions kept them, so that they are still found.
  if (::geteuid() == 0) return "/run/tove-hdiutil";
  if (const auto folder = runtime()) return *folder + "/tove-hdiutil";
  return privateFallback();
}

std::string UserFolders::privateVolumes() {
  if (const auto folder = runtime()) return *folder + "/Volumes";
  return privateFallback() + "/Volumes";
}

std::optional<std::string> UserFolders::makePrivate(const std::string& folder) {
  // The folder and the one holding it must be this user's alone: in /tmp another user could
  // have made either first, and then move or replace what we make in them.
  const std::string parent = folder.substr(0, folder.rfind('/'));
  for (const std::string& part : {parent, folder}) {
    if (part.empty()) continue;
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      return "cannot create " + part + ": " + std::strerror(errno);
    }
    struct stat info {};
    if (::lstat(part.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      return part + " is not a folder of this user that only they may change";
    }
  }
  return std::nullopt;
}

}  // namespace sparkler::hdiutil

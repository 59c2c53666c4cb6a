#include "sparkler/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>

namespace sparkler::FileSystem {

int exchangeNames(int folder, const char* first, const char* second) noexcept {
  return ::renameat2(folder, first, folder, second, RENAME_EXCHANGE);
}

int renameNoReplace(int folder, const char* from, const char* to) noexcept {
  return ::renameat2(folder, from, folder, to, RENAME_NOREPLACE);
}

int syncFileSystem(int fd) noexcept {
  return ::syncfs(fd);
}

int changeModeOfPathDescriptor(int fd, mode_t mode) noexcept {
  // The descriptor's entry in /proc leads to the item itself, never to what its name holds now.
  char self[32];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return ::chmod(self, mode);
}

}  // namespace sparkler::FileSystem

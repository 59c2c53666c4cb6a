#include "sparkler/FolderStream.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sparkler {

FolderStream::FolderStream(int folder) noexcept
    : FolderStream(FileDescriptor(::fcntl(folder, F_DUPFD_CLOEXEC, 0))) {
  // A duplicate shares the original's position.
  if (stream_ != nullptr) ::rewinddir(stream_);
}

FolderStream::FolderStream(FileDescriptor folder) noexcept {
  if (!folder) return;
  stream_ = ::fdopendir(folder.get());
  if (stream_ != nullptr) {
    folder.release();
  } else {
    const int error = errno;
    folder.reset();
    errno = error;
  }
}

FolderStream::~FolderStream() {
  if (stream_ != nullptr) ::closedir(stream_);
}

const char* FolderStream::next() noexcept {
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream_);
    if (entry == nullptr) return nullptr;
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      return entry->d_name;
    }
  }
}

int FolderStream::fd() const noexcept {
  return ::dirfd(stream_);
}

}  // namespace sparkler

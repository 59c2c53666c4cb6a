#include "sparkler/FileDescriptor.h"

#include <unistd.h>

namespace sparkler {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  reset(other.release());  // a move to itself releases, then takes back, the same descriptor
  return *this;
}

int FileDescriptor::release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void FileDescriptor::reset(int fd) noexcept {
  // Linux releases the descriptor even when close reports EINTR: never retry.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace sparkler

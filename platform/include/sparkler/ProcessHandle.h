#pragma once

#include <sys/types.h>

#include <chrono>

#include "sparkler/FileDescriptor.h"

namespace sparkler {

/// A handle on one process (a pidfd): signals and waits through it reach the process it was
/// opened for, never another that later takes the same id.
class ProcessHandle {
 public:
  /// A handle on process `pid`; an empty one, with errno set (ESRCH when there is no such
  /// process), on failure.
  static ProcessHandle open(pid_t pid) noexcept;

  ProcessHandle() noexcept = default;

  explicit operator bool() const noexcept { return static_cast<bool>(fd_); }
  /// The descriptor, readable (POLLIN) once the process has ended; -1 when empty.
  int get() const noexcept { return fd_.get(); }

  /// Sends `signal`; false with errno set when it could not be sent.
  bool sendSignal(int signal) const noexcept;

  /// Waits up to `limit` for the process to end; true when it has.
  bool waitForEnd(std::chrono::milliseconds limit) const noexcept;

  /// Waits, retrying on interruption, until the child process has ended and reaps it. Only
  /// for a child of this process.
  void reap() const noexcept;

 private:
  explicit ProcessHandle(int fd) noexcept : fd_(fd) {}

  FileDescriptor fd_;
};

}  // namespace sparkler

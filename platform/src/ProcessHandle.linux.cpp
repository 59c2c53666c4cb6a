#include "sparkler/ProcessHandle.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sparkler {

// Direct system calls: glibc 2.36's <sys/pidfd.h> lacks C++ linkage declarations.

ProcessHandle ProcessHandle::open(pid_t pid) noexcept {
  return ProcessHandle(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)));
}

bool ProcessHandle::sendSignal(int signal) const noexcept {
  return ::syscall(SYS_pidfd_send_signal, fd_.get(), signal, nullptr, 0U) == 0;
}

bool ProcessHandle::waitForEnd(std::chrono::milliseconds limit) const noexcept {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd watch{fd_.get(), POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

void ProcessHandle::reap() const noexcept {
  siginfo_t info{};
  while (::waitid(P_PIDFD, static_cast<id_t>(fd_.get()), &info, WEXITED) < 0 && errno == EINTR) {
  }
}

}  // namespace sparkler

#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace sparkler::detail {

namespace {

// Moves a descriptor above 2 if it landed on a standard one (the application may have
// closed its own standard streams).
bool liftAboveStandard(FileDescriptor& fd) noexcept {
  if (fd.get() > STDERR_FILENO) return true;
  const int lifted = fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return false;
  fd = FileDescriptor(lifted);
  return true;
}

bool holdsNul(std::string_view text) noexcept {
  return text.find('\0') != std::string_view::npos;
}

// A posix_spawn object that is destroyed only when its init succeeded.
template <typename T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
 public:
  SpawnObject() noexcept { ok_ = Init(&object_) == 0; }
  ~SpawnObject() {
    if (ok_) Destroy(&object_);
  }
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
  bool ok() const noexcept { return ok_; }
  T* get() noexcept { return &object_; }

 private:
  T object_;
  bool ok_ = false;
};

using FileActions = SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                posix_spawn_file_actions_destroy>;
using Attributes = SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

}  // namespace

std::optional<Pipe> makePipe() noexcept {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
  Pipe pipe{FileDescriptor(ends[0]), FileDescriptor(ends[1])};
  if (!liftAboveStandard(pipe.read) || !liftAboveStandard(pipe.write)) return std::nullopt;
  return pipe;
}

std::optional<pid_t> spawnChild(const SpawnRequest& request) noexcept {
  try {
    if (request.task.empty() || holdsNul(request.task)) return std::nullopt;
    const std::string path(request.task);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    if (request.arguments != nullptr) {
      for (const auto& argument : *request.arguments) {
        if (holdsNul(argument)) return std::nullopt;
        argv.push_back(const_cast<char*>(argument.c_str()));
      }
    }
    argv.push_back(nullptr);

    std::vector<char*> envp;
    if (request.environment != nullptr) {
      for (const auto& entry : *request.environment) {
        if (holdsNul(entry)) return std::nullopt;
        envp.push_back(const_cast<char*>(entry.c_str()));
      }
      envp.push_back(nullptr);
    }
    if (request.directory != nullptr && holdsNul(*request.directory)) return std::nullopt;

    FileActions actions;
    if (!actions.ok()) return std::nullopt;
    if (request.standardInput >= 0 &&
        posix_spawn_file_actions_adddup2(actions.get(), request.standardInput, STDIN_FILENO) != 0)
      return std::nullopt;
    if (request.standardOutput >= 0) {
      if (posix_spawn_file_actions_adddup2(actions.get(), request.standardOutput, STDOUT_FILENO) !=
          0)
        return std::nullopt;
    } else if (posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY,
                                                0) != 0) {
      return std::nullopt;
    }
    if (request.standardError >= 0) {
      if (posix_spawn_file_actions_adddup2(actions.get(), request.standardError, STDERR_FILENO) !=
          0)
        return std::nullopt;
    } else if (posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY,
                                                0) != 0) {
      return std::nullopt;
    }
    if (request.directory != nullptr &&
        posix_spawn_file_actions_addchdir_np(actions.get(), request.directory->c_str()) != 0)
      return std::nullopt;

    // The child starts with no blocked signals (the caller's thread may block some, and
    // QuickTask blocks SIGPIPE while it feeds input) and with SIGPIPE and SIGXFSZ at their
    // defaults, so a pipeline-style program ends normally when its reader goes away.
    Attributes attributes;
    if (!attributes.ok()) return std::nullopt;
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    if (posix_spawnattr_setsigmask(attributes.get(), &none) != 0 ||
        posix_spawnattr_setsigdefault(attributes.get(), &defaults) != 0 ||
        posix_spawnattr_setpgroup(attributes.get(), 0) != 0 ||
        posix_spawnattr_setflags(attributes.get(),
                                 POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                     (request.newProcessGroup ? POSIX_SPAWN_SETPGROUP : 0)) != 0)
      return std::nullopt;

    pid_t pid = -1;
    // glibc reports a failed exec or chdir in the child as posix_spawn's result.
    const int error = posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(),
                                  request.environment != nullptr ? envp.data() : environ);
    if (error != 0) return std::nullopt;
    return pid;
  } catch (...) {
    return std::nullopt;
  }
}

int statusFromWait(int waitStatus) noexcept {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return 1;
}

int waitForChild(pid_t pid) noexcept {
  int waitStatus = 0;
  for (;;) {
    const pid_t result = waitpid(pid, &waitStatus, 0);
    if (result == pid) return statusFromWait(waitStatus);
    if (result < 0 && errno != EINTR) return 1;
  }
}

}  // namespace sparkler::detail

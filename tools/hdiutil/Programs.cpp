#include "Programs.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace sparkler::hdiutil {
namespace {

// The bytes of a small /proc file, read with plain read(2): the process may end while we
// read, and then the kernel answers ESRCH, which std::ifstream turns into an exception even
// with exceptions off. Command lines are bounded: a daemon of ours has a short one.
std::optional<std::string> readProcFile(const std::string& path, std::size_t maxBytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buffer[4096];
  while (bytes.size() <= maxBytes) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  if (bytes.size() > maxBytes) return std::nullopt;
  return bytes;
}

std::optional<std::vector<std::string>> commandLineOf(pid_t pid) {
  const auto bytes = readProcFile("/proc/" + std::to_string(pid) + "/cmdline", 64 * 1024);
  if (!bytes) return std::nullopt;
  std::vector<std::string> argv;
  std::size_t start = 0;
  while (start < bytes->size()) {
    const auto end = bytes->find('\0', start);
    argv.push_back(bytes->substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return argv;
}

// Whether `pid` runs squashfuse with `mountPoint` as its last argument and `image` (when
// given) before it. The mount point is a folder the tool made exclusively, so no other
// squashfuse of ours names it.
bool servesMountPoint(pid_t pid, const std::string& image, const std::string& mountPoint) {
  const auto argv = commandLineOf(pid);
  if (!argv || argv->size() < 3 || argv->back() != mountPoint) return false;
  if (!image.empty() && (*argv)[argv->size() - 2] != image) return false;
  const std::string& program = argv->front();
  const std::string name = program.substr(program.rfind('/') + 1);
  if (name.rfind("squashfuse", 0) != 0) return false;
  struct stat info {};
  const std::string folder = "/proc/" + std::to_string(pid);
  return ::stat(folder.c_str(), &info) == 0 && (::geteuid() == 0 || info.st_uid == ::geteuid());
}

int openPidfd(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

bool waitForPidfd(int fd, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd watch{fd, POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

ProcessIdentity ProcessIdentity::of(pid_t pid) {
  ProcessIdentity identity{pid, 0};
  const auto stat = readProcFile("/proc/" + std::to_string(pid) + "/stat", 4096);
  if (!stat) return identity;
  // The command name in parentheses may hold spaces and parentheses: fields are counted
  // from the last ')'. State is field 3, start time field 22.
  const auto close = stat->rfind(')');
  if (close == std::string::npos) return identity;
  std::istringstream fields(stat->substr(close + 1));
  std::string state;
  fields >> state;
  if (state == "Z" || state == "X") return identity;
  std::string field;
  for (int i = 4; i < 22 && fields >> field; ++i) {
  }
  unsigned long long startTime = 0;
  if (fields >> startTime) identity.startTime = startTime;
  return identity;
}

bool ProcessIdentity::isRunning() const {
  if (pid <= 0 || startTime == 0) return false;
  return of(pid).startTime == startTime;
}

std::optional<std::string> Programs::find(const std::string& name) {
  std::string path;
  if (const char* env = std::getenv("PATH")) path = env;
  path += ":/usr/sbin:/usr/bin:/sbin:/bin";
  std::istringstream folders(path);
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty() || folder.front() != '/') continue;
    const std::string candidate = folder + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

std::chrono::milliseconds Programs::limit(std::chrono::seconds limit) {
  std::chrono::milliseconds result = limit;
  if (const char* cap = std::getenv("SPARKLER_HDIUTIL_TIME_LIMIT"); cap != nullptr && *cap != 0) {
    char* end = nullptr;
    const long seconds = std::strtol(cap, &end, 10);
    if (*end == '\0' && seconds > 0) {
      result = std::min<std::chrono::milliseconds>(result, std::chrono::seconds(seconds));
    }
  }
  return result;
}

RunResult Programs::run(const std::string& program, const Arguments& arguments,
                        std::chrono::seconds limit, std::size_t maxOutputBytes) {
  RunOptions options;
  options.timeLimit = Programs::limit(limit);
  options.maxOutputBytes = maxOutputBytes;
  options.maxErrorBytes = 4096;
  return QuickTask::run(program, arguments, options);
}

std::string Programs::whyFailed(const RunResult& result, std::chrono::seconds limit) {
  if (!result.timedOut) return result.failure();
  const auto limited = Programs::limit(limit);
  return "did not finish within " + (limited.count() % 1000 == 0
                                         ? std::to_string(limited.count() / 1000) + " s"
                                         : std::to_string(limited.count()) + " ms");
}

std::vector<pid_t> Programs::daemonsServing(const std::string& image,
                                            const std::string& mountPoint) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == ::getpid()) continue;
    if (servesMountPoint(static_cast<pid_t>(pid), image, mountPoint)) {
      found.push_back(static_cast<pid_t>(pid));
    }
  }
  ::closedir(proc);
  return found;
}

bool Programs::killDaemon(pid_t pid, const std::string& image, const std::string& mountPoint,
                          std::chrono::milliseconds limit) {
  if (pid <= 0) return true;
  // Open the pidfd first and check the command line after: the signal then goes to the
  // process that was checked even if its id is recycled in between.
  const int fd = openPidfd(pid);
  if (fd < 0) return errno == ESRCH;
  bool ended = true;
  if (servesMountPoint(pid, image, mountPoint)) {
    if (::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0) != 0 && errno != ESRCH) {
      ended = false;
    } else {
      ended = waitForPidfd(fd, limit);
    }
  }
  ::close(fd);
  return ended;
}

bool Programs::waitForDaemon(pid_t pid, const std::string& image, const std::string& mountPoint,
                             std::chrono::milliseconds limit) {
  if (pid <= 0) return true;
  const int fd = openPidfd(pid);
  if (fd < 0) return errno == ESRCH;
  const bool ended = !servesMountPoint(pid, image, mountPoint) || waitForPidfd(fd, limit);
  ::close(fd);
  return ended;
}

}  // namespace sparkler::hdiutil

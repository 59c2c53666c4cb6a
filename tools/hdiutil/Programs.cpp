#include "Programs.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace tove::hdiutil {
namespace {

// Read with plain read(2): the process may end while we read, and then the kernel answers
// ESRCH, which std::ifstream turns into an exception even with exceptions off.
std::optional<std::vector<std::string>> commandLineOf(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buffer[4096];
  for (;;) {
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
  std::vector<std::string> argv;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const auto end = bytes.find('\0', start);
    argv.push_back(bytes.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return argv;
}

}  // namespace

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

std::optional<pid_t> Programs::processWithCommandLine(const std::vector<std::string>& argv) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return std::nullopt;
  std::optional<pid_t> found;
  int matches = 0;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 0) continue;
    if (commandLineOf(static_cast<pid_t>(pid)) == argv) {
      found = static_cast<pid_t>(pid);
      ++matches;
    }
  }
  ::closedir(proc);
  if (matches != 1) return std::nullopt;
  return found;
}

bool Programs::waitForExit(pid_t pid, const std::string& lastArgument,
                           std::chrono::milliseconds limit) {
  // A pidfd reports the end of a process we are not the parent of, without polling by sleep;
  // the command line check keeps us from waiting on a recycled process id.
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return errno == ESRCH;
  bool ended = true;
  const auto argv = commandLineOf(pid);
  if (argv && !argv->empty() && argv->back() == lastArgument) {
    pollfd watch{fd, POLLIN, 0};
    int ready = 0;
    do {
      ready = ::poll(&watch, 1, static_cast<int>(limit.count()));
    } while (ready < 0 && errno == EINTR);
    ended = ready > 0;
  }
  ::close(fd);
  return ended;
}

}  // namespace tove::hdiutil

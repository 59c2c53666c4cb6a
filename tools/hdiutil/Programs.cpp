#include "Programs.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "sparkler/ProcessHandle.h"
#include "sparkler/ProcessInfo.h"
#include "sparkler/SearchPath.h"

namespace sparkler::hdiutil {
namespace {

// Whether `pid` runs squashfuse with `mountPoint` as its last argument and `image` (when
// given) before it. The mount point is a folder the tool made exclusively, so no other
// squashfuse of ours names it.
bool servesMountPoint(pid_t pid, const std::string& image, const std::string& mountPoint) {
  const auto argv = ProcessInfo::commandLine(pid);
  if (!argv || argv->size() < 3 || argv->back() != mountPoint) return false;
  if (!image.empty() && (*argv)[argv->size() - 2] != image) return false;
  const std::string& program = argv->front();
  const std::string name = program.substr(program.rfind('/') + 1);
  if (name.rfind("squashfuse", 0) != 0) return false;
  const auto owner = ProcessInfo::owner(pid);
  return owner && (::geteuid() == 0 || *owner == ::geteuid());
}

}  // namespace

ProcessIdentity ProcessIdentity::of(pid_t pid) {
  return {pid, ProcessInfo::startTime(pid)};
}

bool ProcessIdentity::isRunning() const {
  if (pid <= 0 || startTime == 0) return false;
  return ProcessInfo::startTime(pid) == startTime;
}

std::optional<std::string> Programs::find(const std::string& name) {
  return SearchPath::find(name, "/usr/sbin:/usr/bin:/sbin:/bin");
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
  for (const pid_t pid : ProcessInfo::processIds()) {
    if (pid != ::getpid() && servesMountPoint(pid, image, mountPoint)) found.push_back(pid);
  }
  return found;
}

bool Programs::killDaemon(pid_t pid, const std::string& image, const std::string& mountPoint,
                          std::chrono::milliseconds limit) {
  if (pid <= 0) return true;
  // Open the handle first and check the command line after: the signal then goes to the
  // process that was checked even if its id is recycled in between.
  const auto process = ProcessHandle::open(pid);
  if (!process) return errno == ESRCH;
  if (!servesMountPoint(pid, image, mountPoint)) return true;
  if (!process.sendSignal(SIGKILL) && errno != ESRCH) return false;
  return process.waitForEnd(limit);
}

bool Programs::waitForDaemon(pid_t pid, const std::string& image, const std::string& mountPoint,
                             std::chrono::milliseconds limit) {
  if (pid <= 0) return true;
  const auto process = ProcessHandle::open(pid);
  if (!process) return errno == ESRCH;
  return !servesMountPoint(pid, image, mountPoint) || process.waitForEnd(limit);
}

}  // namespace sparkler::hdiutil

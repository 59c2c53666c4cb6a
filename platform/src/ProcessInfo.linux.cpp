#include "sparkler/ProcessInfo.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <system_error>

#include "sparkler/FileDescriptor.h"
#include "sparkler/Files.h"
#include "sparkler/FolderStream.h"

namespace sparkler::ProcessInfo {
namespace {

std::string procPath(pid_t pid, const char* file) {
  return "/proc/" + std::to_string(pid) + "/" + file;
}

}  // namespace

unsigned long long startTime(pid_t pid) {
  if (pid <= 0) return 0;
  const auto stat = Files::readFile(procPath(pid, "stat"), 4096);
  if (!stat) return 0;
  // The command name in parentheses may hold spaces and parentheses: fields are counted
  // from the last ')'. State is field 3, start time field 22.
  const auto close = stat->rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat->substr(close + 1));
  std::string state;
  fields >> state;
  if (state == "Z" || state == "X") return 0;
  std::string field;
  for (int i = 4; i < 22 && fields >> field; ++i) {
  }
  unsigned long long start = 0;
  return fields >> start ? start : 0;
}

std::optional<std::vector<std::string>> commandLine(pid_t pid) {
  // A process may end while it is read: the kernel then answers ESRCH, which read(2) reports.
  const auto bytes = Files::readFile(procPath(pid, "cmdline"), 64 * 1024);
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

std::optional<uid_t> owner(pid_t pid) {
  struct stat info {};
  const std::string folder = "/proc/" + std::to_string(pid);
  if (::stat(folder.c_str(), &info) != 0) return std::nullopt;
  return info.st_uid;
}

std::vector<pid_t> processIds() {
  std::vector<pid_t> ids;
  FolderStream proc(FileDescriptor(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (!proc) return ids;
  while (const char* name = proc.next()) {
    char* end = nullptr;
    const long pid = std::strtol(name, &end, 10);
    if (end != name && *end == '\0' && pid > 0) ids.push_back(static_cast<pid_t>(pid));
  }
  return ids;
}

std::optional<std::filesystem::path> executablePath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return path;
}

}  // namespace sparkler::ProcessInfo

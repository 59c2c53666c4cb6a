#include "sparkler/Log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

namespace sparkler::Log {
namespace {

using SinkPointer = std::shared_ptr<const std::function<void(std::string_view)>>;

// Never destroyed: worker jobs may still log while the process exits.
struct State {
  std::mutex mutex;
  SinkPointer sink;
  // openlog keeps the pointer it is given: identities are never freed.
  const std::string* identity = nullptr;
};

State& state() {
  static auto* shared = new State;
  return *shared;
}

int priority(Severity severity) {
  switch (severity) {
    case Severity::error:
      return LOG_ERR;
    case Severity::warning:
      return LOG_WARNING;
    case Severity::notice:
      break;
  }
  return LOG_NOTICE;
}

// Under systemd a service's standard error is often a stream into the journal, named by
// JOURNAL_STREAM ("device:inode"). A line written there and to syslog would be recorded twice,
// so it then goes through syslog alone: that keeps the program's identity and the line's
// severity, and a text of several lines stays one entry, where the stream would file each
// line apart under the process's name at the service's default level.
bool standardErrorIsTheJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0, inode = 0;
  char after = 0;
  if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &after) != 2) return false;
  struct stat info {};
  return ::fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

}  // namespace

void write(Severity severity, std::string_view text) noexcept {
  SinkPointer currentSink;
  auto& shared = state();
  try {
    // syslog wants a terminated string; the copy also keeps embedded text intact.
    const std::string copy(text);
    std::lock_guard lock(shared.mutex);
    syslog(priority(severity), "%s", copy.c_str());
    if (!standardErrorIsTheJournal()) {
      std::fwrite(copy.data(), 1, copy.size(), stderr);
      std::fputc('\n', stderr);
      std::fflush(stderr);
    }
    currentSink = shared.sink;
  } catch (...) {
    return;
  }
  // Called outside the lock, so a sink may log in turn.
  if (currentSink) {
    try {
      (*currentSink)(text);
    } catch (...) {
    }
  }
}

void setIdentity(std::string_view identity) noexcept {
  auto& shared = state();
  try {
    const auto* name = identity.empty() ? nullptr : new std::string(identity);
    std::lock_guard lock(shared.mutex);
    // Reopened, so that a connection made before (or inherited) is not kept.
    closelog();
    openlog(name == nullptr ? nullptr : name->c_str(), LOG_PID, LOG_USER);
    shared.identity = name;
  } catch (...) {
  }
}

void setSink(std::function<void(std::string_view)> newSink) {
  auto shared =
      newSink ? std::make_shared<const std::function<void(std::string_view)>>(std::move(newSink))
              : nullptr;
  auto& current = state();
  std::lock_guard lock(current.mutex);
  current.sink = std::move(shared);
}

}  // namespace sparkler::Log

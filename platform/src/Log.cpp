#include "sparkler/Log.h"

#include <syslog.h>

#include <cstdio>
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

}  // namespace

void write(Severity severity, std::string_view text) noexcept {
  SinkPointer currentSink;
  auto& shared = state();
  try {
    // syslog wants a terminated string; the copy also keeps embedded text intact.
    const std::string copy(text);
    std::lock_guard lock(shared.mutex);
    syslog(priority(severity), "%s", copy.c_str());
    std::fwrite(copy.data(), 1, copy.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
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

void setSink(std::function<void(std::string_view)> newSink) {
  auto shared =
      newSink ? std::make_shared<const std::function<void(std::string_view)>>(std::move(newSink))
              : nullptr;
  auto& current = state();
  std::lock_guard lock(current.mutex);
  current.sink = std::move(shared);
}

}  // namespace sparkler::Log

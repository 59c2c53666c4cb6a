#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sparkler/FileDescriptor.h"

namespace sparkler::detail {

struct Pipe {
  FileDescriptor read;
  FileDescriptor write;
};

// A close-on-exec pipe whose ends are both above the standard descriptors, so that wiring
// them to 0, 1 and 2 in the child never overwrites one with another. nullopt on failure.
std::optional<Pipe> makePipe() noexcept;

// What the child gets. Unset streams: standard input inherited, standard output and standard
// error the null device.
struct SpawnRequest {
  std::string_view task;
  const std::vector<std::string>* arguments = nullptr;
  const std::vector<std::string>* environment = nullptr;  // "NAME=value"; null: inherited
  const std::string* directory = nullptr;                 // null: inherited
  int standardInput = -1;
  int standardOutput = -1;
  int standardError = -1;        // -1: the null device
  bool newProcessGroup = false;  // the child leads a process group of its own
};

// Starts the program; nullopt when it cannot be started (missing, not executable, a
// directory that does not exist, a NUL inside a string, no resources).
std::optional<pid_t> spawnChild(const SpawnRequest& request) noexcept;

// Waits for the child, retrying on interruption: its exit status, 128 + the signal number
// when a signal ended it, 1 when it cannot be waited for.
int waitForChild(pid_t pid) noexcept;

// Termination status as QuickTask reports it, from a waitpid status.
int statusFromWait(int waitStatus) noexcept;

}  // namespace sparkler::detail

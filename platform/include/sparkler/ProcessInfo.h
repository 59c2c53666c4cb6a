#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sparkler::ProcessInfo {

/// When process `pid` started (in clock ticks since boot), which tells it from a later process
/// given the same id; 0 when it has ended, is a zombie, or cannot be read.
unsigned long long startTime(pid_t pid);

/// The command line of process `pid`, one entry per argument; nullopt when it cannot be
/// read or is longer than 64 KiB.
std::optional<std::vector<std::string>> commandLine(pid_t pid);

/// The user that owns process `pid`; nullopt when it cannot be read.
std::optional<uid_t> owner(pid_t pid);

/// The ids of the processes this one can see; empty when they cannot be listed.
std::vector<pid_t> processIds();

/// The path of the running executable; nullopt when it cannot be read.
std::optional<std::filesystem::path> executablePath();

}  // namespace sparkler::ProcessInfo

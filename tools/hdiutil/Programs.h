#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tove::hdiutil {

/// The helper programs the tool runs, and the daemons they leave behind.
class Programs {
 public:
  /// The first executable `name` along $PATH, then /usr/sbin, /usr/bin, /sbin, /bin;
  /// nullopt when there is none.
  static std::optional<std::string> find(const std::string& name);

  /// The process whose command line is exactly `argv`; nullopt when none or several.
  static std::optional<pid_t> processWithCommandLine(const std::vector<std::string>& argv);

  /// Waits until process `pid` has ended, provided its last argument is still
  /// `lastArgument` (a recycled id is not waited for); true when it has ended (or was already
  /// gone), false when it is still running after `limit`.
  static bool waitForExit(pid_t pid, const std::string& lastArgument,
                          std::chrono::milliseconds limit);
};

}  // namespace tove::hdiutil

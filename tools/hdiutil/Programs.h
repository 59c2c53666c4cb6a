#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "sparkler/QuickTask.h"

namespace sparkler::hdiutil {

/// A process as it can be recognised again later: its id and its start time (field 22 of
/// /proc/<pid>/stat, in clock ticks since boot), so that a recycled id is not taken for it.
struct ProcessIdentity {
  pid_t pid = 0;
  unsigned long long startTime = 0;

  /// The identity of process `pid`; {pid, 0} when it cannot be read (it has ended).
  static ProcessIdentity of(pid_t pid);
  /// Whether this process still runs: same id, same start time, not a zombie. False for
  /// {0, 0} and for an identity whose start time was not known.
  bool isRunning() const;
};

/// The helper programs the tool runs, and the daemons they leave behind.
class Programs {
 public:
  /// The first executable `name` along $PATH, then /usr/sbin, /usr/bin, /sbin, /bin;
  /// nullopt when there is none.
  static std::optional<std::string> find(const std::string& name);

  /// `limit`, or less when SPARKLER_HDIUTIL_TIME_LIMIT (whole seconds) asks for less.
  static std::chrono::milliseconds limit(std::chrono::seconds limit);

  /// Runs `program` in a process group of its own, killing the group after `limit` (as
  /// shortened by limit()); keeps up to `maxOutputBytes` of standard output and the end of
  /// standard error. The result's failure() says why it failed.
  static RunResult run(const std::string& program, const Arguments& arguments,
                       std::chrono::seconds limit, std::size_t maxOutputBytes = 64 * 1024);

  /// "did not finish within 30 s" for a run killed at its time limit, else result.failure().
  static std::string whyFailed(const RunResult& result, std::chrono::seconds limit);

  /// The squashfuse processes of this user (any user's, for root) that serve `mountPoint`
  /// (their last argument) from `image` (the one before it; any image when empty); empty
  /// when there are none or /proc cannot be read.
  static std::vector<pid_t> daemonsServing(const std::string& image, const std::string& mountPoint);

  /// Kills process `pid` with SIGKILL, provided it is still a squashfuse serving
  /// `mountPoint` from `image` (checked through a pidfd, so the signal reaches the process
  /// that was checked), and waits up to `limit` for it to end; true when it has ended or
  /// was not such a process, false when it still runs.
  static bool killDaemon(pid_t pid, const std::string& image, const std::string& mountPoint,
                         std::chrono::milliseconds limit);

  /// Waits up to `limit` for process `pid` to end, provided it is still a squashfuse serving
  /// `mountPoint` from `image`; true when it has ended (or was not such a process).
  static bool waitForDaemon(pid_t pid, const std::string& image, const std::string& mountPoint,
                            std::chrono::milliseconds limit);
};

}  // namespace sparkler::hdiutil

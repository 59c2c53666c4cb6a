// Bounded runs: a child in a process group of its own, its output kept within a byte limit,
// the whole group killed at a time limit, and the child reaped on every way out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "ChildProcess.h"
#include "sparkler/ProcessHandle.h"
#include "sparkler/QuickTask.h"
#include "sparkler/Utf8.h"

namespace sparkler {

namespace {

using Clock = std::chrono::steady_clock;

// Appends what `fd` has now to `kept`, holding at most `limit` bytes: the first ones when
// `keepEnd` is false (and `overflow` is set once more arrived), the last ones otherwise.
// Returns false at end of file or on an error other than "nothing there yet".
bool take(int fd, std::string& kept, std::size_t limit, bool keepEnd, bool& overflow) {
  char chunk[16 * 1024];
  const ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  if (n == 0) return false;
  kept.append(chunk, static_cast<std::size_t>(n));
  if (kept.size() > limit) {
    if (keepEnd) {
      kept.erase(0, kept.size() - limit);
    } else {
      kept.resize(limit);
      overflow = true;
    }
  }
  return true;
}

void makeNonBlocking(const FileDescriptor& fd) {
  if (!fd) return;
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags >= 0) fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
}

// Printable text for a log line: control characters become spaces.
std::string printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return out;
}

}  // namespace

std::optional<std::string> RunResult::text(bool trimmed) const {
  if (!succeeded() || !Utf8::isValid(output)) return std::nullopt;
  if (!trimmed) return output;
  return std::string(Utf8::trimmed(output));
}

std::string RunResult::failure() const {
  if (!started) return "could not be started";
  if (timedOut) return "did not finish within its time limit";
  if (outputTooLong) return "wrote more output than allowed";
  if (status == 0) return {};
  std::string reason = status > 128 ? "was ended by signal " + std::to_string(status - 128)
                                    : "exited with status " + std::to_string(status);
  // The last non-empty line of standard error usually says what went wrong.
  std::string_view lines = error;
  while (!lines.empty() && (lines.back() == '\n' || lines.back() == '\r')) lines.remove_suffix(1);
  if (const auto cut = lines.find_last_of('\n'); cut != std::string_view::npos) {
    lines.remove_prefix(cut + 1);
  }
  if (!lines.empty()) reason += ": " + printable(lines);
  return reason;
}

RunResult QuickTask::run(std::string_view task, const Arguments& arguments,
                         const RunOptions& options) noexcept {
  RunResult result;
  try {
    if (task.empty()) return result;
    auto outputPipe = detail::makePipe();
    if (!outputPipe) return result;
    std::optional<detail::Pipe> errorPipe;
    if (options.maxErrorBytes > 0) {
      errorPipe = detail::makePipe();
      if (!errorPipe) return result;
    }
    detail::SpawnRequest request;
    request.task = task;
    request.arguments = &arguments.list;
    request.standardOutput = outputPipe->write.get();
    request.standardError = errorPipe ? errorPipe->write.get() : -1;
    request.newProcessGroup = true;
    const auto pid = detail::spawnChild(request);
    if (!pid) return result;
    result.started = true;
    outputPipe->write.reset();
    FileDescriptor output = std::move(outputPipe->read);
    FileDescriptor errors;
    if (errorPipe) {
      errorPipe->write.reset();
      errors = std::move(errorPipe->read);
    }
    const ProcessHandle process = ProcessHandle::open(*pid);
    const auto killGroup = [&] {
      ::kill(-*pid, SIGKILL);
      ::kill(*pid, SIGKILL);
    };
    if (!process) {
      // Without a handle on the child its end cannot be watched for: stop it rather than
      // risk waiting without a bound.
      killGroup();
      detail::waitForChild(*pid);
      result.started = false;
      return result;
    }

    const bool limited = options.timeLimit.count() > 0;
    const auto deadline = Clock::now() + options.timeLimit;
    bool childEnded = false;
    bool overflow = false;
    bool ignored = false;
    // Reads after the child's end are bounded too: a descendant may keep writing.
    int roundsAfterEnd = 0;
    while ((!childEnded || output || errors) && roundsAfterEnd < 64) {
      if (childEnded) {
        // The child is gone: take what its descendants left in the pipes, without waiting
        // for those that still hold them open.
        makeNonBlocking(output);
        makeNonBlocking(errors);
      }
      int wait = -1;
      if (childEnded) {
        ++roundsAfterEnd;
        wait = 0;
      } else if (limited) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        wait = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
      }
      pollfd fds[3];
      nfds_t count = 0;
      int outputIndex = -1, errorIndex = -1, processIndex = -1;
      if (output) {
        outputIndex = static_cast<int>(count);
        fds[count++] = {output.get(), POLLIN, 0};
      }
      if (errors) {
        errorIndex = static_cast<int>(count);
        fds[count++] = {errors.get(), POLLIN, 0};
      }
      if (!childEnded) {
        processIndex = static_cast<int>(count);
        fds[count++] = {process.get(), POLLIN, 0};
      }
      const int ready = poll(fds, count, wait);
      if (ready < 0 && errno != EINTR) {
        killGroup();
        break;
      }
      if (ready <= 0) {
        if (childEnded) break;  // nothing more is waiting in the pipes
        if (limited && Clock::now() >= deadline) {
          result.timedOut = true;
          killGroup();
          break;
        }
        continue;
      }
      if (outputIndex >= 0 && fds[outputIndex].revents != 0) {
        if (!take(output.get(), result.output, options.maxOutputBytes, false, overflow)) {
          output.reset();
        } else if (overflow) {
          result.outputTooLong = true;
          killGroup();
          break;
        }
      }
      if (errorIndex >= 0 && fds[errorIndex].revents != 0) {
        if (!take(errors.get(), result.error, options.maxErrorBytes, true, ignored)) errors.reset();
      }
      if (processIndex >= 0 && fds[processIndex].revents != 0) childEnded = true;
    }
    result.status = detail::waitForChild(*pid);
    return result;
  } catch (...) {
    return result;
  }
}

}  // namespace sparkler

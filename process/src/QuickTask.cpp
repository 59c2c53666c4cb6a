#include "sparkler/QuickTask.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "ChildProcess.h"
#include "sparkler/Files.h"
#include "sparkler/Utf8.h"

extern char** environ;

namespace sparkler {

namespace {

constexpr std::string_view kInputMarker = "QuickTask.STDIN";

// The child's environment as "NAME=value" entries; `inherit` when the child keeps the
// application's own.
struct ChildEnvironment {
  bool ok = true;
  bool inherit = true;
  std::vector<std::string> entries;
};

ChildEnvironment childEnvironment(const std::optional<Environment>& environment, bool withInput) {
  ChildEnvironment result;
  if (environment) {
    result.inherit = false;
    for (const auto& [name, value] : environment->variables) {
      // A name with '=' would be read back as a different variable.
      if (name.empty() || name.find('=') != std::string::npos) return {false, false, {}};
      if (withInput && name == kInputMarker) continue;
      result.entries.push_back(name + "=" + value);
    }
  } else if (withInput) {
    result.inherit = false;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      const std::string_view text(*entry);
      if (text.substr(0, text.find('=')) == kInputMarker) continue;
      result.entries.emplace_back(text);
    }
    // An application without any environment gives its children none to mark.
    if (result.entries.empty()) return {false, false, {}};
  }
  if (withInput) result.entries.push_back(std::string(kInputMarker) + "=YES");
  return result;
}

// Keeps a write to a pipe whose reader has gone from killing the application: SIGPIPE is
// blocked for this thread while the child is fed, and the one the kernel raises for our own
// failed write is taken back before the old mask returns. A SIGPIPE that was already pending
// for another reason is left alone.
class SigpipeGuard {
 public:
  SigpipeGuard() noexcept {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &previous_);
  }
  ~SigpipeGuard() {
    if (brokenPipe_ && !pendingBefore_) {
      sigset_t only;
      sigemptyset(&only);
      sigaddset(&only, SIGPIPE);
      const timespec zero{0, 0};
      while (sigtimedwait(&only, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

  void noteBrokenPipe() noexcept { brokenPipe_ = true; }

 private:
  sigset_t previous_;
  bool pendingBefore_ = false;
  bool brokenPipe_ = false;
};

// Collects output, reading straight into the string it returns. The capacity doubles, but the
// room offered to read() grows a step at a time, so spare capacity is never zero-filled ahead
// of the output and a reallocation copies only the bytes read.
class OutputBuffer {
 public:
  // One read from `fd`; false on a read error.
  bool readFrom(int fd, bool& endOfFile) noexcept {
    if (!failed_ && used_ == buffer_.size() && used_ < buffer_.capacity()) extend();
    if (failed_ || used_ == buffer_.size()) {
      // Full: read aside first, so that output ending exactly at the capacity never doubles it.
      char aside[64 * 1024];
      const ssize_t n = ::read(fd, aside, sizeof aside);
      if (n < 0) return errno == EINTR || errno == EAGAIN;
      endOfFile = n == 0;
      if (n > 0 && !failed_) {
        try {
          buffer_.reserve(std::max(buffer_.capacity() * 2, used_ + kStep));
          extend();
          std::memcpy(buffer_.data() + used_, aside, static_cast<std::size_t>(n));
          used_ += static_cast<std::size_t>(n);
        } catch (...) {
          // Out of memory: keep draining so the child can finish, and report failure.
          failed_ = true;
        }
      }
      return true;
    }
    const ssize_t n = ::read(fd, buffer_.data() + used_, buffer_.size() - used_);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    endOfFile = n == 0;
    used_ += static_cast<std::size_t>(n);
    return true;
  }
  bool failed() const noexcept { return failed_; }
  std::string take() {
    buffer_.resize(used_);
    return std::move(buffer_);
  }

 private:
  static constexpr std::size_t kStep = 1024 * 1024;

  // Within the capacity: no allocation, nothing to throw.
  void extend() { buffer_.resize(std::min(buffer_.capacity(), used_ + kStep)); }

  std::string buffer_;
  std::size_t used_ = 0;
  bool failed_ = false;
};

// Feeds `input` to `inputEnd` and drains `outputEnd` into `output` at the same time, so a
// child that writes before it reads cannot deadlock with us. Ends when the input is written
// (or the child stopped reading it) and the output reached end of file. false on an I/O
// error; the ends are closed either way.
bool exchange(FileDescriptor inputEnd, std::string_view input, FileDescriptor outputEnd,
              OutputBuffer* output) noexcept {
  std::optional<SigpipeGuard> guard;
  if (inputEnd) {
    if (input.empty()) {
      inputEnd.reset();
    } else {
      guard.emplace();
      const int flags = fcntl(inputEnd.get(), F_GETFL);
      if (flags < 0 || fcntl(inputEnd.get(), F_SETFL, flags | O_NONBLOCK) < 0) return false;
    }
  }
  bool ok = true;
  std::size_t written = 0;
  while (inputEnd || outputEnd) {
    pollfd fds[2];
    nfds_t count = 0;
    int inputIndex = -1;
    int outputIndex = -1;
    if (inputEnd) {
      inputIndex = static_cast<int>(count);
      fds[count++] = {inputEnd.get(), POLLOUT, 0};
    }
    if (outputEnd) {
      outputIndex = static_cast<int>(count);
      fds[count++] = {outputEnd.get(), POLLIN, 0};
    }
    if (poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (inputIndex >= 0 && fds[inputIndex].revents != 0) {
      const std::size_t chunk = std::min<std::size_t>(input.size() - written, 1 << 20);
      const ssize_t n = ::write(inputEnd.get(), input.data() + written, chunk);
      if (n >= 0) {
        written += static_cast<std::size_t>(n);
        // End of file after the last byte, as soon as it is written.
        if (written == input.size()) inputEnd.reset();
      } else if (errno == EPIPE) {
        // The child closed its input: it gets no more, and its status stays its own.
        guard->noteBrokenPipe();
        inputEnd.reset();
      } else if (errno != EAGAIN && errno != EINTR) {
        ok = false;
        inputEnd.reset();
      }
    }
    if (outputIndex >= 0 && fds[outputIndex].revents != 0) {
      bool endOfFile = false;
      if (!output->readFrom(outputEnd.get(), endOfFile)) {
        ok = false;
        outputEnd.reset();
      } else if (endOfFile) {
        outputEnd.reset();
      }
    }
  }
  return ok;
}

}  // namespace

int QuickTask::statusOfTask(std::string_view task, const std::optional<Arguments>& arguments,
                            const std::optional<Input>& input,
                            const std::optional<Environment>& environment,
                            const std::optional<LaunchedFrom>& launchedFrom) noexcept {
  try {
    if (task.empty()) return 1;
    const ChildEnvironment childEnv = childEnvironment(environment, input.has_value());
    if (!childEnv.ok) return 1;
    std::optional<detail::Pipe> inputPipe;
    if (input) {
      inputPipe = detail::makePipe();
      if (!inputPipe) return 1;
    }
    detail::SpawnRequest request;
    request.task = task;
    request.arguments = arguments ? &arguments->list : nullptr;
    request.environment = childEnv.inherit ? nullptr : &childEnv.entries;
    request.directory = launchedFrom ? &launchedFrom->path : nullptr;
    request.standardInput = inputPipe ? inputPipe->read.get() : -1;
    const auto pid = detail::spawnChild(request);
    if (!pid) return 1;
    if (inputPipe) {
      inputPipe->read.reset();
      exchange(std::move(inputPipe->write), input->text, FileDescriptor(), nullptr);
    }
    return detail::waitForChild(*pid);
  } catch (...) {
    return 1;
  }
}

std::optional<std::string> QuickTask::outputOfTask(std::string_view task,
                                                   const std::optional<Arguments>& arguments,
                                                   const std::optional<Input>& input,
                                                   bool trimmed) noexcept {
  try {
    if (task.empty()) return std::nullopt;
    const ChildEnvironment childEnv = childEnvironment(std::nullopt, input.has_value());
    if (!childEnv.ok) return std::nullopt;
    auto outputPipe = detail::makePipe();
    if (!outputPipe) return std::nullopt;
    // A larger pipe means fewer wake-ups on long output; the default size works as well.
    fcntl(outputPipe->read.get(), F_SETPIPE_SZ, 1 << 20);
    std::optional<detail::Pipe> inputPipe;
    if (input) {
      inputPipe = detail::makePipe();
      if (!inputPipe) return std::nullopt;
    }
    detail::SpawnRequest request;
    request.task = task;
    request.arguments = arguments ? &arguments->list : nullptr;
    request.environment = childEnv.inherit ? nullptr : &childEnv.entries;
    request.standardInput = inputPipe ? inputPipe->read.get() : -1;
    request.standardOutput = outputPipe->write.get();
    const auto pid = detail::spawnChild(request);
    if (!pid) return std::nullopt;
    outputPipe->write.reset();
    FileDescriptor inputEnd;
    if (inputPipe) {
      inputPipe->read.reset();
      inputEnd = std::move(inputPipe->write);
    }
    OutputBuffer output;
    const bool exchanged = exchange(std::move(inputEnd), input ? std::string_view(input->text) : "",
                                    std::move(outputPipe->read), &output);
    // Always reaped, whatever went wrong while talking to it.
    const int status = detail::waitForChild(*pid);
    if (!exchanged || output.failed() || status != 0) return std::nullopt;
    std::string text = output.take();
    if (!Utf8::isValid(text)) return std::nullopt;
    if (!trimmed) return text;
    const std::string_view kept = Utf8::trimmed(text);
    if (kept.size() == text.size()) return text;
    return std::string(kept);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::string> QuickTask::input() noexcept {
  // Threads share the one standard input: the first call reads it to end of file, later ones
  // find it empty, and no two interleave their reads.
  static std::mutex reading;
  try {
    std::lock_guard lock(reading);
    if (std::getenv(std::string(kInputMarker).c_str()) == nullptr) return std::nullopt;
    return Files::readAll(STDIN_FILENO, std::string::npos);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::string> QuickTask::stringInput() noexcept {
  auto bytes = input();
  if (!bytes || bytes->empty() || !Utf8::isValid(*bytes)) return std::nullopt;
  return bytes;
}

}  // namespace sparkler

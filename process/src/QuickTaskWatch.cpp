// Pattern search over a running child's output: a reader thread stands in for a readability
// handler, the caller polls a result slot every 10 ms, and the reader, once done, reaps the
// child so that nothing is left behind after the caller has returned.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Utf8Text.h"
#include "tove/QuickTask.h"

namespace tove {

namespace {

using detail::Fd;

// Direct system calls: glibc 2.36's <sys/pidfd.h> lacks C++ linkage declarations.
int openProcess(pid_t pid) noexcept {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0U));
}

void sendSignal(int process, int signal) noexcept {
  syscall(SYS_pidfd_send_signal, process, signal, nullptr, 0U);
}

// How long a child that was asked to end may take before it is killed, so that the reaper
// never waits for ever on a program that ignores SIGTERM.
constexpr int kGraceMilliseconds = 5000;

// How long the output may pause after a possible value at its end before that value is taken
// as complete.
constexpr int kSettleMilliseconds = 200;

// The most decoded text (UTF-16 units) kept while waiting for a match to complete.
constexpr int32_t kMaxPending = 64 * 1024;

struct Watch {
  Fd output;
  Fd process;  // pidfd: signals and waits cannot hit a reused process id
  std::unique_ptr<icu::RegexPattern> pattern;
  std::set<std::string> reject;
  // The result slot. It points at a value the reader has published in `acceptedValues` and
  // never changes again; libstdc++'s atomic<shared_ptr> would do, but its internal lock is
  // invisible to ThreadSanitizer.
  std::atomic<const std::string*> slot{nullptr};
  std::vector<std::unique_ptr<const std::string>> acceptedValues;  // written by the reader only
  std::atomic<bool> finished{false};  // the reader has handled all the output it will
  icu::UnicodeString pending;         // reader only: decoded text not yet settled
  bool accepted = false;              // reader only
  bool askedToEnd = false;            // reader only

  void terminate() noexcept {
    askedToEnd = true;
    sendSignal(process.get(), SIGTERM);
  }

  // Searches the text not yet settled. A match that touches the end of the output seen so far
  // (or a partial one there) could still change with more output, so it waits for the next
  // piece unless `final`: a version printed in two writes is found whole.
  void settle(bool final) {
    if (pending.isEmpty()) return;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(pending, status));
    if (U_FAILURE(status) || !matcher) {
      terminate();
      pending.remove();
      return;
    }
    int32_t consumed = 0;
    bool waiting = false;
    while (!waiting) {
      const bool found = matcher->find(status);
      if (U_FAILURE(status)) break;
      if (!final && matcher->hitEnd()) {
        waiting = true;
        break;
      }
      if (!found) break;
      consumed = matcher->end(status);
      const int32_t group = matcher->groupCount();
      // An optional last group that took no part in the match yields no value.
      if (matcher->start(group, status) < 0 || U_FAILURE(status)) {
        if (U_FAILURE(status)) break;
        continue;
      }
      const icu::UnicodeString captured = matcher->group(group, status);
      if (U_FAILURE(status)) break;
      std::string value;
      captured.toUTF8String(value);
      if (reject.count(value) != 0) continue;
      terminate();
      acceptedValues.push_back(std::make_unique<const std::string>(std::move(value)));
      slot.store(acceptedValues.back().get());
      accepted = true;
    }
    if (U_FAILURE(status)) {
      terminate();
      waiting = false;
    }
    if (waiting) {
      // Only a bounded tail is kept: the output as a whole is never accumulated.
      pending.remove(0, std::max(consumed, pending.length() - kMaxPending));
    } else {
      pending.remove();
    }
  }

  // Decodes `bytes` (an incomplete sequence at the end waits for the rest) and searches.
  void handle(std::string& bytes) {
    const auto scan = detail::scanUtf8(bytes);
    if (scan.invalid) {
      terminate();
      bytes.clear();
      return;
    }
    pending.append(icu::UnicodeString::fromUTF8(
        icu::StringPiece(bytes.data(), static_cast<int32_t>(scan.completeLength))));
    bytes.erase(0, scan.completeLength);
    settle(false);
  }

  // Reads until a value is accepted, the output ends, or the child has ended and what it
  // left in the pipe has been read.
  void read() {
    std::string bytes;
    char chunk[64 * 1024];
    bool childEnded = false;
    while (!accepted) {
      if (!childEnded) {
        pollfd fds[2] = {{output.get(), POLLIN, 0}, {process.get(), POLLIN, 0}};
        const int ready = poll(fds, 2, pending.isEmpty() ? -1 : kSettleMilliseconds);
        if (ready < 0) {
          if (errno == EINTR) continue;
          break;
        }
        if (ready == 0) {
          // The output paused after a possible value: take it as it stands.
          settle(true);
          continue;
        }
        if (fds[0].revents == 0 && fds[1].revents != 0) {
          // Nothing more will come from the child itself: take what is left without waiting
          // for descendants that may still hold the pipe open.
          childEnded = true;
          const int flags = fcntl(output.get(), F_GETFL);
          if (flags < 0 || fcntl(output.get(), F_SETFL, flags | O_NONBLOCK) < 0) break;
          continue;
        }
      }
      const ssize_t n = ::read(output.get(), chunk, sizeof chunk);
      if (n < 0) {
        if (errno == EINTR) continue;
        break;  // EAGAIN after the child ended: the pipe is empty
      }
      if (n == 0) break;
      bytes.append(chunk, static_cast<std::size_t>(n));
      handle(bytes);
    }
    if (!accepted) settle(true);
    // A sequence still incomplete at the end of the output is not valid text.
    if (!accepted && !bytes.empty()) terminate();
  }

  void reap() noexcept {
    output.reset();
    if (askedToEnd) {
      pollfd fd{process.get(), POLLIN, 0};
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(kGraceMilliseconds);
      for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        const int ready = poll(&fd, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (ready > 0) break;
        if (ready == 0) {
          sendSignal(process.get(), SIGKILL);
          break;
        }
        if (errno != EINTR) break;
      }
    }
    siginfo_t info{};
    while (waitid(P_PIDFD, static_cast<id_t>(process.get()), &info, WEXITED) < 0 &&
           errno == EINTR) {
    }
  }
};

void watchAndReap(std::shared_ptr<Watch> watch) noexcept {
  try {
    watch->read();
  } catch (...) {
    watch->terminate();
  }
  watch->finished.store(true);
  watch->reap();
}

}  // namespace

std::optional<std::string> QuickTask::outputOfTask(std::string_view task,
                                                   const Arguments& arguments,
                                                   const SearchingForPattern& pattern,
                                                   const Reject& reject) noexcept {
  try {
    if (task.empty() || pattern.pattern.empty()) return std::nullopt;
    auto watch = std::make_shared<Watch>();
    {
      // ICU sets up its shared regular-expression tables on first use behind a once-guard of
      // its own, which thread sanitizers cannot see; compiling under one lock of ours orders
      // that set-up before every later compile and so before every reader thread.
      static std::mutex compiling;
      std::lock_guard lock(compiling);
      UErrorCode status = U_ZERO_ERROR;
      UParseError where;
      watch->pattern.reset(icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern.pattern),
                                                      0, where, status));
      if (U_FAILURE(status) || !watch->pattern) return std::nullopt;
    }
    watch->reject = reject.values;

    auto outputPipe = detail::makePipe();
    if (!outputPipe) return std::nullopt;
    detail::SpawnRequest request;
    request.task = task;
    request.arguments = &arguments.list;
    request.standardOutput = outputPipe->write.get();
    const auto pid = detail::spawnChild(request);
    if (!pid) return std::nullopt;
    outputPipe->write.reset();
    watch->output = std::move(outputPipe->read);
    watch->process = Fd(openProcess(*pid));
    if (!watch->process) {
      kill(*pid, SIGKILL);
      detail::waitForChild(*pid);
      return std::nullopt;
    }
    try {
      std::thread(watchAndReap, watch).detach();
    } catch (...) {
      watch->terminate();
      watch->reap();
      return std::nullopt;
    }

    for (;;) {
      if (const std::string* value = watch->slot.load()) return *value;
      if (watch->finished.load()) {
        // The last chunks may have filled the slot just before the reader finished.
        const std::string* value = watch->slot.load();
        return value != nullptr ? std::optional<std::string>(*value) : std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace tove

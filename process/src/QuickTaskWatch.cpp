// Pattern search over a running child's output: a reader thread stands in for a readability
// handler, the caller polls a result slot every 10 ms, and the reader, once done, reaps the
// child so that nothing is left behind after the caller has returned.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "sparkler/ProcessHandle.h"
#include "sparkler/QuickTask.h"
#include "sparkler/Utf8.h"

namespace sparkler {

namespace {

using Clock = std::chrono::steady_clock;

// How long a child that was asked to end may take before it is killed, so that neither the
// reader nor the reaper waits for ever on a program that ignores SIGTERM.
constexpr auto kGrace = std::chrono::milliseconds(5000);

// The most one read takes, and so the largest chunk searched at once. Linux pipes hold
// 64 KiB unless resized, so a write of up to that size usually arrives as one chunk.
constexpr std::size_t kChunkBytes = 64 * 1024;

// Room before the read buffer for an incomplete UTF-8 sequence (at most 3 bytes) carried
// over from the previous chunk, so that a character split between two reads is not taken
// for invalid text.
constexpr std::size_t kCarryRoom = 4;

// The regular-expression work allowed on one chunk, in ICU's match-engine units (10,000
// steps each, about a second in all on current hardware). Output can drive a pattern into
// exponential backtracking; plain patterns use a small fraction of this on a full chunk.
constexpr int32_t kChunkTimeLimit = 10000;

struct Watch {
  FileDescriptor output;
  ProcessHandle process;  // signals and waits cannot hit a reused process id
  std::unique_ptr<icu::RegexPattern> pattern;
  std::unique_ptr<icu::RegexMatcher> matcher;  // reader only
  icu::UnicodeString text;                     // reader only: the chunk the matcher searches
  std::set<std::string> reject;
  // The result slot: null, or the accepted value, which is written once before it is
  // published and never changes again. libstdc++'s atomic<shared_ptr> would do, but its
  // internal lock is invisible to ThreadSanitizer.
  std::atomic<const std::string*> slot{nullptr};
  std::optional<std::string> accepted;  // written by the reader only, once
  std::atomic<bool> finished{false};    // the reader has handled all the output it will
  bool askedToEnd = false;              // reader only
  bool killed = false;                  // reader only
  Clock::time_point killAt;             // reader only: when asked to end and not yet killed

  void terminate() noexcept {
    if (askedToEnd) return;
    askedToEnd = true;
    killAt = Clock::now() + kGrace;
    process.sendSignal(SIGTERM);
  }

  void kill() noexcept {
    killed = true;
    process.sendSignal(SIGKILL);
  }

  // Milliseconds until the child must be killed; -1 (no limit) when it was not asked to end.
  int graceLeft() const noexcept {
    if (!askedToEnd || killed) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(killAt - Clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
  }

  // Searches one decoded chunk on its own, `^` and `$` at its ends. Every accepted match
  // replaces the one before, so the chunk's last accepted value is published, once, and the
  // caller never sees an earlier one. True when a value was published.
  bool search(std::string_view chunk) {
    text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(chunk.data(), static_cast<int32_t>(chunk.size())));
    matcher->reset(text);
    UErrorCode status = U_ZERO_ERROR;
    std::optional<std::string> last;
    const int32_t group = matcher->groupCount();
    while (matcher->find(status)) {
      // An optional last group that took no part in the match yields no value.
      if (matcher->start(group, status) < 0 || U_FAILURE(status)) continue;
      const icu::UnicodeString captured = matcher->group(group, status);
      if (U_FAILURE(status)) break;
      std::string value;
      captured.toUTF8String(value);
      if (reject.count(value) == 0) last = std::move(value);
    }
    // A search cut short by the time limit (or any other failure) cannot tell which match
    // was the chunk's last: nothing of it is taken, and a child whose output cannot be
    // searched is not left running.
    if (U_FAILURE(status)) {
      terminate();
      return false;
    }
    if (!last) return false;
    terminate();
    accepted = std::move(last);
    slot.store(&*accepted);
    return true;
  }

  // Handles the `length` bytes just read to `buffer + kCarryRoom`, after the `carried` bytes
  // of an incomplete sequence from the chunk before; `length` 0 is the end of the output.
  // True when a value was published.
  bool handle(char* buffer, std::size_t& carried, std::size_t length) {
    char* begin = buffer + kCarryRoom - carried;
    const std::size_t size = carried + length;
    const auto scan = Utf8::scan({begin, size});
    // A sequence still incomplete at the end of the output is not valid text either.
    if (scan.invalid || (length == 0 && scan.completeLength != size)) {
      carried = 0;
      terminate();
      return false;
    }
    // A read that ended inside the first character holds no text of its own: its bytes
    // belong to the next chunk.
    const bool found =
        (scan.completeLength != 0 || length == 0) && search({begin, scan.completeLength});
    carried = size - scan.completeLength;
    std::memmove(buffer + kCarryRoom - carried, begin + scan.completeLength, carried);
    return found;
  }

  // Reads chunk by chunk until a value is accepted, the output ends, or the child has ended
  // and what was left in the pipe has been read; then searches the empty end of the output.
  void read() {
    std::vector<char> buffer(kCarryRoom + kChunkBytes);
    std::size_t carried = 0;
    bool childEnded = false;
    std::size_t leftAfterEnd = 0;
    for (;;) {
      if (!childEnded) {
        pollfd fds[2] = {{output.get(), POLLIN, 0}, {process.get(), POLLIN, 0}};
        const int ready = poll(fds, 2, graceLeft());
        if (ready < 0) {
          if (errno == EINTR) continue;
          return;
        }
        if (ready == 0) {
          kill();
          continue;
        }
        if (fds[1].revents != 0) {
          // Nothing more will come from the child itself. Descendants may still hold the
          // pipe open, and even keep writing: take at most what the pipe can hold, without
          // waiting for them.
          childEnded = true;
          const int capacity = fcntl(output.get(), F_GETPIPE_SZ);
          leftAfterEnd = capacity > 0 ? static_cast<std::size_t>(capacity) : kChunkBytes;
          const int flags = fcntl(output.get(), F_GETFL);
          if (flags < 0 || fcntl(output.get(), F_SETFL, flags | O_NONBLOCK) < 0) return;
          continue;
        }
      }
      const std::size_t want = childEnded ? std::min(kChunkBytes, leftAfterEnd) : kChunkBytes;
      if (want == 0) break;
      const ssize_t n = ::read(output.get(), buffer.data() + kCarryRoom, want);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (childEnded && errno == EAGAIN) break;  // the pipe is empty
        return;
      }
      if (n == 0) break;
      if (childEnded) leftAfterEnd -= static_cast<std::size_t>(n);
      if (handle(buffer.data(), carried, static_cast<std::size_t>(n))) return;
    }
    handle(buffer.data(), carried, 0);
  }

  void reap() noexcept {
    output.reset();
    pollfd fd{process.get(), POLLIN, 0};
    for (int left; (left = graceLeft()) >= 0;) {
      const int ready = poll(&fd, 1, left);
      if (ready > 0) break;
      if (ready == 0) kill();
      if (ready < 0 && errno != EINTR) break;
    }
    process.reap();
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
      watch->matcher.reset(watch->pattern->matcher(status));
      if (U_FAILURE(status) || !watch->matcher) return std::nullopt;
      // The limit counts from each reset, that is, per chunk.
      watch->matcher->setTimeLimit(kChunkTimeLimit, status);
      if (U_FAILURE(status)) return std::nullopt;
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
    watch->process = ProcessHandle::open(*pid);
    if (!watch->process) {
      ::kill(*pid, SIGKILL);
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

}  // namespace sparkler

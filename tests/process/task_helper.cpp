// The child program of the QuickTask tests. The first argument names what it does.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tove/QuickTask.h"

extern char** environ;

namespace {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool writeRepeated(char byte, unsigned long long count) {
  const std::string block(1 << 20, byte);
  while (count > 0) {
    const auto n = static_cast<std::size_t>(std::min<unsigned long long>(count, block.size()));
    if (!writeAll(STDOUT_FILENO, std::string_view(block).substr(0, n))) return false;
    count -= n;
  }
  return true;
}

// Copies standard input to standard output until end of file.
int echo() {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return 4;
    }
    if (!writeAll(STDOUT_FILENO, std::string_view(buffer.data(), static_cast<std::size_t>(n))))
      return 4;
  }
}

volatile sig_atomic_t terminated = 0;

void onTerminate(int) {
  terminated = 1;
}

void pauseBriefly() {
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  const std::string_view mode = argv[1];
  const auto arg = [&](int i) -> std::string { return i < argc ? argv[i] : ""; };

  if (mode == "exit") return std::atoi(argv[2]);
  if (mode == "print") return writeAll(STDOUT_FILENO, arg(2)) ? 0 : 4;
  if (mode == "print-exit") {
    writeAll(STDOUT_FILENO, arg(2));
    return std::atoi(argv[3]);
  }
  if (mode == "stderr") return writeAll(STDERR_FILENO, arg(2)) ? 0 : 4;
  if (mode == "not-utf8") return writeAll(STDOUT_FILENO, arg(2) + "\xff\xfe") ? 0 : 4;
  if (mode == "echo") return echo();
  if (mode == "large") return writeRepeated('x', std::strtoull(argv[2], nullptr, 10)) ? 0 : 4;
  if (mode == "large-then-echo") {
    if (!writeRepeated('y', std::strtoull(argv[2], nullptr, 10))) return 4;
    return echo();
  }
  if (mode == "cwd") {
    char path[4096];
    return getcwd(path, sizeof path) != nullptr && writeAll(STDOUT_FILENO, path) ? 0 : 4;
  }
  if (mode == "cwd-is") {
    char path[4096];
    return getcwd(path, sizeof path) != nullptr && arg(2) == path ? 0 : 1;
  }
  if (mode == "env") {
    const char* value = std::getenv(argv[2]);
    return value != nullptr && writeAll(STDOUT_FILENO, value) ? 0 : 2;
  }
  if (mode == "environ") {
    std::string all;
    for (char** entry = environ; *entry != nullptr; ++entry) all += std::string(*entry) + '\n';
    return writeAll(STDOUT_FILENO, all) ? 0 : 4;
  }
  // Exits with the number of environment variables, 100 + n if NAME is not VALUE.
  if (mode == "env-count") {
    int count = 0;
    for (char** entry = environ; *entry != nullptr; ++entry) ++count;
    const char* value = argc > 2 ? std::getenv(argv[2]) : nullptr;
    if (argc > 3 && (value == nullptr || arg(3) != value)) return 100 + count;
    return count;
  }
  if (mode == "signal") {
    signal(std::atoi(argv[2]), SIG_DFL);
    raise(std::atoi(argv[2]));
    return 4;
  }
  if (mode == "touch") {
    std::ofstream(arg(2)) << "started";
    return 0;
  }
  // Prints its text in pieces with pauses between them, so that a reader sees them apart.
  if (mode == "pieces") {
    for (int i = 2; i < argc; ++i) {
      if (!writeAll(STDOUT_FILENO, argv[i])) return 4;
      if (i + 1 < argc) pauseBriefly();
    }
    return 0;
  }
  // Writes its pid to DIR/pid, prints TEXT and waits for SIGTERM, which it records in
  // DIR/terminated.
  if (mode == "print-wait") {
    // SIGTERM stays blocked except inside sigsuspend, so it cannot slip in between the
    // check and the wait.
    sigset_t term;
    sigset_t others;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &others);
    sigdelset(&others, SIGTERM);
    struct sigaction action {};
    action.sa_handler = onTerminate;
    sigaction(SIGTERM, &action, nullptr);
    std::ofstream(arg(2) + "/pid") << getpid();
    if (!writeAll(STDOUT_FILENO, arg(3))) return 4;
    while (!terminated) sigsuspend(&others);
    std::ofstream(arg(2) + "/terminated") << "SIGTERM";
    return 0;
  }
  // Leaves a grandchild holding standard output open (its pid in DIR/holder), prints TEXT and
  // exits.
  if (mode == "leave-holder") {
    int ready[2];
    if (pipe(ready) != 0) return 4;
    const pid_t holder = fork();
    if (holder == 0) {
      std::ofstream(arg(2) + "/holder") << getpid();
      close(ready[1]);
      for (;;) pause();
    }
    close(ready[1]);
    char byte;
    while (::read(ready[0], &byte, 1) < 0 && errno == EINTR) {
    }
    return writeAll(STDOUT_FILENO, arg(3)) ? 0 : 4;
  }
  if (mode == "input" || mode == "input-twice") {
    auto bytes = tove::QuickTask::input();
    if (mode == "input-twice") bytes = tove::QuickTask::input();
    if (!bytes) return writeAll(STDOUT_FILENO, "nil") ? 0 : 4;
    // In hexadecimal, so that bytes that are not text come back as text.
    std::string hex;
    for (const unsigned char byte : *bytes) {
      hex += "0123456789abcdef"[byte >> 4];
      hex += "0123456789abcdef"[byte & 15];
    }
    return writeAll(STDOUT_FILENO, "bytes:" + std::to_string(bytes->size()) + ":" + hex) ? 0 : 4;
  }
  if (mode == "string-input") {
    const auto text = tove::QuickTask::stringInput();
    if (!text) return writeAll(STDOUT_FILENO, "nil") ? 0 : 4;
    return writeAll(STDOUT_FILENO, "text:" + *text) ? 0 : 4;
  }
  return 64;
}

// The child program of the QuickTask tests. The first argument names what it does.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sparkler/Files.h"
#include "sparkler/QuickTask.h"

extern char** environ;

namespace {

using sparkler::Files::writeAll;

int print(std::string_view text) {
  return writeAll(STDOUT_FILENO, text) ? 0 : 4;
}

// Waits until everything written to standard output (a pipe) has been read; false after a
// minute, or when standard output is not a pipe.
bool drained() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  for (;;) {
    int unread = 0;
    if (ioctl(STDOUT_FILENO, FIONREAD, &unread) != 0) return false;
    if (unread == 0) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  const std::string_view mode = argv[1];
  const auto arg = [&](int i) -> std::string { return i < argc ? argv[i] : ""; };

  if (mode == "exit") return std::atoi(argv[2]);
  // Writes TEXT to standard output or standard error and exits with N (default 0).
  if (mode == "print") return print(arg(2)) == 0 ? std::atoi(arg(3).c_str()) : 4;
  if (mode == "stderr") return writeAll(STDERR_FILENO, arg(2)) ? std::atoi(arg(3).c_str()) : 4;
  // Writes N bytes of "x", then with "echo" copies its input.
  if (mode == "large") {
    const std::string block(1 << 20, 'x');
    for (auto count = std::strtoull(argv[2], nullptr, 10); count > 0;) {
      const auto n = std::min<unsigned long long>(count, block.size());
      if (print(std::string_view(block).substr(0, n)) != 0) return 4;
      count -= n;
    }
    if (arg(3) != "echo") return 0;
    const auto input = sparkler::Files::readAll(STDIN_FILENO, std::string::npos);
    return input ? print(*input) : 4;
  }
  if (mode == "cwd-is") {
    char path[4096];
    return getcwd(path, sizeof path) != nullptr && arg(2) == path ? 0 : 1;
  }
  // Exits with the number of environment variables, 100 + n if NAME is not VALUE.
  if (mode == "env-count") {
    int count = 0;
    for (char** entry = environ; *entry != nullptr; ++entry) ++count;
    const char* value = argc > 2 ? std::getenv(argv[2]) : nullptr;
    return argc > 3 && (value == nullptr || arg(3) != value) ? 100 + count : count;
  }
  // Prints each argument in a write of its own, and the next only once the reader has taken
  // all of the one before, so that each arrives as a read of its own.
  if (mode == "chunks") {
    for (int i = 2; i < argc; ++i) {
      if (i > 2 && !drained()) return 4;
      if (print(argv[i]) != 0) return 4;
    }
    return 0;
  }
  // Writes its pid to DIR/pid and prints TEXT, then exits. With "holder" it first leaves a
  // grandchild that holds standard output open (its pid in DIR/holder); with "wait" it waits
  // for a signal instead of exiting, and with "ignore-term" SIGTERM is not one that ends it.
  if (mode == "hold") {
    const std::vector<std::string_view> flags(argv + std::min(argc, 4), argv + argc);
    const auto flag = [&](std::string_view name) {
      return std::find(flags.begin(), flags.end(), name) != flags.end();
    };
    if (flag("ignore-term")) signal(SIGTERM, SIG_IGN);
    if (flag("holder")) {
      int ready[2];
      if (pipe(ready) != 0) return 4;
      if (fork() == 0) {
        std::ofstream(arg(2) + "/holder") << getpid();
        close(ready[1]);
        for (;;) pause();
      }
      close(ready[1]);
      char byte;
      while (::read(ready[0], &byte, 1) < 0 && errno == EINTR) {
      }
    }
    std::ofstream(arg(2) + "/pid") << getpid();
    const int printed = print(arg(3));
    if (printed != 0 || !flag("wait")) return printed;
    for (;;) pause();
  }
  if (mode == "input" || mode == "input-twice") {
    auto bytes = sparkler::QuickTask::input();
    if (mode == "input-twice") bytes = sparkler::QuickTask::input();
    return print(bytes ? "bytes:" + std::to_string(bytes->size()) + ":" + *bytes : "nil");
  }
  if (mode == "string-input") {
    const auto text = sparkler::QuickTask::stringInput();
    return print(text ? "text:" + *text : "nil");
  }
  return 64;
}

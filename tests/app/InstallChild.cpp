// Replaces the item at OLD-PATH by a copy of the item at NEW-PATH, as an installation does;
// the kill test stops it at arbitrary points. With --pause, the guarded form runs and, once
// its copy has begun, writes "copying\n" to standard output and waits until standard input
// has a byte or ends. Exit status 0 on success.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>

#include "tove/FileManager.h"

int main(int argc, char** argv) {
  const bool pause = argc == 4 && std::string_view(argv[1]) == "--pause";
  if (argc != 3 && !pause) {
    std::fprintf(stderr, "usage: %s [--pause] OLD-PATH NEW-PATH\n", argv[0]);
    return 2;
  }
  const char* oldPath = argv[argc - 2];
  const char* newPath = argv[argc - 1];
  std::error_code error;
  std::string detail;
  bool replaced = false;
  if (pause) {
    tove::FileManager::ReplaceOptions options;
    options.safeModes = true;
    options.linksStayInside = true;
    bool paused = false;
    options.progress = [&paused](std::uint64_t, std::uint64_t) {
      if (paused) return true;
      paused = true;
      if (::write(STDOUT_FILENO, "copying\n", 8) != 8) return false;
      char byte = 0;
      while (::read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
      }
      return true;
    };
    replaced = tove::FileManager::replaceItemAtPath(oldPath, newPath, options, &error, &detail);
  } else {
    replaced = tove::FileManager::replaceItemAtPath(oldPath, newPath, &error);
  }
  if (!replaced) {
    std::fprintf(stderr, "replace failed: %s %s\n", error.message().c_str(), detail.c_str());
    return 1;
  }
  return 0;
}

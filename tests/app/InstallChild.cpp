// Replaces the item at argv[1] by a copy of the item at argv[2], as an installation does;
// the kill test stops it at arbitrary points. Exit status 0 on success.
#include <cstdio>
#include <system_error>

#include "tove/FileManager.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OLD-PATH NEW-PATH\n", argv[0]);
    return 2;
  }
  std::error_code error;
  if (!tove::FileManager::replaceItemAtPath(argv[1], argv[2], &error)) {
    std::fprintf(stderr, "replace failed: %s\n", error.message().c_str());
    return 1;
  }
  return 0;
}

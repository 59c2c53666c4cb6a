#include <cstdio>

#include "Commands.h"
#include "sparkler/Version.h"

int versionCommand(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: sparkler version TEXT\n");
    return 1;
  }
  const auto version = sparkler::Version::versionWithString(argv[1]);
  if (!version) {
    std::fprintf(stderr, "sparkler: \"%s\" is not a version\n", argv[1]);
    return 1;
  }
  std::printf("%s\n", version->description().c_str());
  return 0;
}

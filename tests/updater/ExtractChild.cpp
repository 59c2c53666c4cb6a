// Installs the image argv[1] over the bundle argv[2] as the updater does (guarded extraction,
// the tool from $TOVE_HDIUTIL), printing each step on its own line so that a test can kill it
// at a chosen point: "attaching", "copying", "copied 200" (once 200 items are in), "detaching",
// then "installed" or "failed: <reason>". Exit status 0 when installed.
#include <cstdio>
#include <string>

#include "tove/DMGExtractor.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s IMAGE BUNDLE\n", argv[0]);
    return 2;
  }
  const auto say = [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  tove::ExtractOptions options;
  options.requireFolder = true;
  options.replace.safeModes = true;
  options.replace.linksStayInside = true;
  options.phase = [&](tove::ExtractPhase phase) {
    say(phase == tove::ExtractPhase::attaching ? "attaching"
        : phase == tove::ExtractPhase::copying ? "copying"
                                                : "detaching");
  };
  bool told = false;
  options.replace.progress = [&](std::uint64_t, std::uint64_t items) {
    if (items >= 200 && !told) {
      told = true;
      say("copied 200");
    }
    return true;
  };
  tove::ExtractFailure failure;
  if (tove::DMGExtractor::extract("Tove.app/Contents", argv[1], argv[2], options, &failure)) {
    say("installed");
    return 0;
  }
  say("failed: " + failure.reason);
  return 1;
}

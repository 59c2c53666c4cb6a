// Helper program of the updater tests:
//   exit-during-work URL CA_FILE: returns from main while workers fetch over TLS and hash.
//   extract IMAGE BUNDLE: installs IMAGE over BUNDLE as an installation does, saying each step
//     on a line ("attaching", "copying", "copied 200", "detaching", then "installed" or
//     "failed: <reason>") so that a test can kill it at a chosen point.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>

#include "sparkler/Checksum.h"
#include "sparkler/DMGExtractor.h"
#include "sparkler/Dispatch.h"
#include "sparkler/URLLoader.h"

namespace {

using namespace sparkler;

int exitDuringWork(const std::string& url) {
  static std::atomic<int> fetched{0};
  for (int i = 0; i < 4; ++i) {
    dispatch::async(dispatch::Priority::Low, [url] {
      for (;;) {
        if (URLLoader::contentsOfURL(url, {.maxBytes = 1 << 20})) ++fetched;
        dispatch::asyncMain([] {});
      }
    });
  }
  dispatch::async(dispatch::Priority::Default, [] {
    const std::string data(1 << 16, 'x');
    for (;;) Checksum::MD5String(data);
  });
  while (fetched.load() < 8) std::this_thread::yield();
  return 0;
}

int extract(const std::string& image, const std::string& bundle) {
  const auto say = [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  ExtractOptions options;
  options.requireFolder = true;
  options.replace.safeModes = true;
  options.replace.linksStayInside = true;
  options.phase = [&](ExtractPhase phase) {
    say(phase == ExtractPhase::attaching ? "attaching"
        : phase == ExtractPhase::copying ? "copying"
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
  ExtractFailure failure;
  if (DMGExtractor::extract("Tove.app/Contents", image, bundle, options, &failure)) {
    say("installed");
    return 0;
  }
  say("failed: " + failure.reason);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "exit-during-work" && argc == 4 &&
      URLLoader::setExtraCAFile(std::filesystem::path(argv[3]))) {
    return exitDuringWork(argv[2]);
  }
  if (mode == "extract" && argc == 4) return extract(argv[2], argv[3]);
  return 2;
}

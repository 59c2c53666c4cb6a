// Returns from main while worker jobs are busy fetching over TLS and hashing, as the app does
// when it quits during a check. Usage: tove_exit_during_work_child URL CA_FILE
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "tove/Checksum.h"
#include "tove/Dispatch.h"
#include "tove/URLLoader.h"

int main(int argc, char** argv) {
  using namespace tove;
  if (argc != 3 || !URLLoader::setExtraCAFile(std::filesystem::path(argv[2]))) return 2;
  static std::atomic<int> fetched{0};
  const std::string url = argv[1];
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

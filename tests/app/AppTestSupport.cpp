#include "AppTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "sparkler/Checksum.h"
#include "sparkler/testing/TestBundle.h"

namespace sparkler::testing {

namespace fs = std::filesystem;

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  QElapsedTimer clock;
  clock.start();
  // Conditions may change on other threads or in other processes; the ticks bound each wait.
  QTimer tick;
  tick.start(20);
  while (!done()) {
    if (clock.elapsed() > timeout.count()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

fs::path makeAppBundle(const fs::path& parent, std::string_view version, std::string_view marker) {
  auto bundle = makeTestBundle(parent, "Tove", version, "org.tove.Tove");
  const fs::path resources = TOVE_TEST_RESOURCES;
  const fs::path executable = bundle / "Contents/MacOS/Tove";
  std::error_code error;
  if (bundle.empty() || !writeFile(executable, "#!/bin/sh\n# " + std::string(marker) + "\n")) {
    return {};
  }
  fs::permissions(executable, fs::perms::owner_exec, fs::perm_options::add, error);
  fs::create_directories(bundle / "Contents/Resources/Scripts", error);
  for (const char* item : {"MainWindow.ui", "Scripts/bounce.sh"}) {
    if (!error) fs::copy_file(resources / item, bundle / "Contents/Resources" / item, error);
  }
  return error ? fs::path() : bundle;
}

nlohmann::json entryFor(const fs::path& image, std::string_view version) {
  const std::string data = readFile(image);
  return {{"version", version},
          {"name", image.filename().string()},
          {"hash", Checksum::MD5String(data).value_or("")},
          {"size", data.size()}};
}

}  // namespace sparkler::testing

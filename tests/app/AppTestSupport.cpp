#include "AppTestSupport.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
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
  const fs::path resources = TOVE_RESOURCES_DIR;
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

bool makeUpdateImage(const fs::path& image, std::string_view version) {
  const fs::path source = image.parent_path() / (image.filename().string() + ".source");
  if (makeAppBundle(source, version, "new").empty()) return false;
  const int status = QProcess::execute(
      "mksquashfs", {QString::fromStdString(source.string()), QString::fromStdString(image),
                     "-noappend", "-quiet", "-no-progress"});
  std::error_code error;
  fs::remove_all(source, error);
  return status == 0;
}

nlohmann::json entryFor(const fs::path& image, std::string_view version) {
  const std::string data = readFile(image);
  return {{"version", version},
          {"name", image.filename().string()},
          {"hash", Checksum::MD5String(data).value_or("")},
          {"size", data.size()}};
}

std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> items;
  auto describe = [](const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::string("missing");
    std::string text = std::to_string(info.st_mode) + ' ';
    if (S_ISLNK(info.st_mode)) text += "-> " + fs::read_symlink(path).string();
    if (S_ISREG(info.st_mode)) text += readFile(path);
    return text;
  };
  items["."] = describe(root);
  std::error_code error;
  if (!fs::is_directory(fs::symlink_status(root, error))) return items;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    items[fs::relative(it->path(), root).string()] = describe(it->path());
  }
  return items;
}

}  // namespace sparkler::testing

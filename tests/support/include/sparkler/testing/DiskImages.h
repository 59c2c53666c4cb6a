#pragma once

// What the disk image tests share: a per-run folder (HOME, TMPDIR, the tool's state folder),
// a per-run folder of mount points below /Volumes, squashfs images and bundles made for the
// test, programs run with their output captured, and a check after every test that nothing of
// the tool's is left, which also cleans up after a test that failed half-way.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sparkler/DMGExtractor.h"
#include "sparkler/Folders.h"
#include "sparkler/Log.h"
#include "sparkler/MountTable.h"
#include "sparkler/ProcessInfo.h"
#include "sparkler/QuickTask.h"
#include "sparkler/testing/TempDir.h"
#include "sparkler/testing/TempHome.h"
#include "sparkler/testing/TestBundle.h"

namespace sparkler::test {

namespace fs = std::filesystem;

using sparkler::testing::readFile;

inline void writeFile(const fs::path& path, const std::string& text, fs::perms mode) {
  sparkler::testing::writeFile(path, text);
  fs::permissions(path, mode);
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Each item below `root` by its relative path: type and mode, and the contents or link target.
inline std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> items;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    std::string& item = items[fs::relative(entry.path(), root)];
    item = std::to_string(info.st_mode) + " ";
    if (S_ISLNK(info.st_mode)) item += fs::read_symlink(entry.path()).string();
    if (S_ISREG(info.st_mode) && info.st_size < 4096) item += readFile(entry.path());
  }
  return items;
}

// <parent>/<folder>.app (folder: the name by default), the app `name` of `version`: an
// executable that says which version it is, and items worth comparing: private and group-only
// modes, an empty folder, links to a file and a folder.
inline fs::path makeApp(const fs::path& parent, const std::string& version,
                        const std::string& name = "Tove", const std::string& folder = {}) {
  fs::path app = sparkler::testing::makeTestBundle(parent, name, version, "org.tove.Tove");
  if (!folder.empty() && folder != name) {
    fs::rename(app, parent / (folder + ".app"));
    app = parent / (folder + ".app");
  }
  const fs::path contents = app / "Contents";
  writeFile(contents / "MacOS/Tove", "#!/bin/sh\necho " + version + "\n", fs::perms(0755));
  writeFile(contents / "Resources/Scripts/bounce.sh", "#!/bin/sh\n", fs::perms(0750));
  writeFile(contents / "Resources/private.key", version, fs::perms(0600));
  fs::create_directories(contents / "Resources/empty");
  fs::create_symlink("../Info.plist", contents / "Resources/Info link");
  fs::create_symlink("Resources/Scripts", contents / "Scripts");
  return app;
}

// The mount points below `folder` that this machine has.
inline std::vector<std::string> mountsBelow(const std::string& folder) {
  std::vector<std::string> found;
  for (auto& mount : MountTable::mounts()) {
    if (!folder.empty() && mount.mountPoint.starts_with(folder + "/")) {
      found.push_back(std::move(mount.mountPoint));
    }
  }
  return found;
}

// The squashfuse processes serving `at` or a mount point below it (their last argument).
inline std::vector<pid_t> daemonsBelow(const std::string& at) {
  std::vector<pid_t> found;
  for (const pid_t pid : ProcessInfo::processIds()) {
    const auto argv = ProcessInfo::commandLine(pid).value_or(std::vector<std::string>{});
    if (!at.empty() && argv.size() >= 3 && fs::path(argv.front()).filename() == "squashfuse" &&
        (argv.back() == at || argv.back().starts_with(at + "/"))) {
      found.push_back(pid);
    }
  }
  return found;
}

class DiskImageRun {
  // Marks a /Volumes that the tests made, and so remove again.
  static constexpr char kMarker[] = "/Volumes/.made-by-tove-tests";

 public:
  static DiskImageRun& shared() {
    static DiskImageRun run;
    return run;
  }

  const fs::path& folder() const { return dir_.path(); }
  // Empty when no folder of mount points below /Volumes could be made.
  const std::string& volumes() const { return volumes_; }
  bool canMount() const { return !volumes_.empty() && canMount_; }
  static std::string tool() { return TOVE_TEST_HDIUTIL; }

  // The tool's records, by device name.
  std::vector<std::string> records() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(state_)) {
      if (entry.path().filename().string().starts_with("disk"))
        names.insert(entry.path().filename());
    }
    return {names.begin(), names.end()};
  }

  // What the tool has left: records, mounts, squashfuse processes and mount points.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> left = records();
    for (const auto& at : mountsBelow(volumes_)) left.push_back("mount " + at);
    for (const pid_t pid : daemonsBelow(volumes_))
      left.push_back("squashfuse " + std::to_string(pid));
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(volumes_, error)) left.push_back(entry.path());
    return left;
  }

  static RunResult runTool(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment = {}) {
    return runProgram(tool(), arguments, environment);
  }

  // Runs `program` with `arguments` and the variables of `environment` ("NAME=VALUE") added to
  // its environment; env(1) puts them there and then becomes the program.
  static RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                              const std::vector<std::string>& environment = {}) {
    std::vector<std::string> list = environment;
    list.push_back(program);
    list.insert(list.end(), arguments.begin(), arguments.end());
    return QuickTask::run("/usr/bin/env", Arguments{list}, RunOptions{{}, 1 << 20, 1 << 16});
  }

  // A squashfs image at `image` holding the tree at `source` as its root.
  static bool makeImage(const fs::path& source, const fs::path& image) {
    return QuickTask::executeTask("/usr/bin/mksquashfs",
                                  Arguments{{source.string(), image.string(), "-noappend",
                                             "-no-progress", "-quiet", "-all-root"}});
  }

  // Detaches everything the tool has a record of, then every mount, daemon and mount point
  // below the run's folder of mount points that has none.
  void detachAll() const {
    for (const std::string& record : records()) runTool({"detach", record, "-force"});
    for (const std::string& at : mountsBelow(volumes_)) runTool({"detach", at, "-force"});
    for (const pid_t daemon : daemonsBelow(volumes_)) ::kill(daemon, SIGKILL);
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(volumes_, error)) fs::remove(entry, error);
  }

  ~DiskImageRun() {
    detachAll();
    std::error_code ignored;
    if (!volumes_.empty()) fs::remove(volumes_, ignored);
    // Test programs run side by side: whichever ends last removes the /Volumes the tests made.
    if (fs::exists(kMarker, ignored) &&
        std::distance(fs::directory_iterator("/Volumes", ignored), fs::directory_iterator()) == 1) {
      fs::remove(kMarker, ignored);
      fs::remove("/Volumes", ignored);
    }
  }

 private:
  DiskImageRun() {
    state_ = folder() / "state";
    fs::create_directories(state_);
    ::setenv("SPARKLER_HDIUTIL_STATE", state_.c_str(), 1);
    ::unsetenv("SPARKLER_HDIUTIL_MOUNTER");
    // The attach grammar only reads mount points below /Volumes, so the run's mount points
    // live in a folder of their own there.
    std::error_code error;
    const std::string volumes = "/Volumes/tove-tests-" + Folders::newUUIDString();
    for (int attempt = 0; attempt < 3 && volumes_.empty(); ++attempt) {
      if (fs::create_directory("/Volumes", error)) std::ofstream{kMarker};
      if (fs::create_directory(volumes, error)) volumes_ = volumes;
    }
    ::setenv("SPARKLER_HDIUTIL_VOLUMES",
             volumes_.empty() ? (folder() / "Volumes").c_str() : volumes_.c_str(), 1);
    canMount_ = ::geteuid() == 0 || ::access("/dev/fuse", R_OK | W_OK) == 0;
  }

  sparkler::testing::TempDir dir_{"tove-diskimage"};
  sparkler::testing::TempHome home_;
  fs::path state_;
  std::string volumes_;
  bool canMount_ = false;
};

// Every test starts and ends with nothing attached, in a work folder of its own, and leaves the
// disk image tool and the log as it found them.
class DiskImageTest : public ::testing::Test {
 protected:
  DiskImageRun& run = DiskImageRun::shared();
  fs::path work = run.folder() / ("work " + Folders::newUUIDString());

  void TearDown() override {
    Log::setSink({});
    DMGExtractor::setToolPath(std::nullopt);
    EXPECT_EQ(run.leftovers(), std::vector<std::string>{});
    run.detachAll();
    std::error_code ignored;
    fs::remove_all(work, ignored);
  }

  void requireMounting() {
    if (!run.canMount()) GTEST_SKIP() << "this machine cannot mount images below /Volumes";
  }

  // `sparkler publish`, as the version given or, without one, as the bundle's own.
  RunResult publish(const fs::path& app, std::optional<std::string> version, const fs::path& out) {
    std::vector<std::string> arguments{"publish", "--app", app.string(), "--out", out.string()};
    if (version) arguments.insert(arguments.end(), {"--version", *version});
    return run.runProgram(TOVE_TEST_SPARKLER, arguments);
  }
};

}  // namespace sparkler::test

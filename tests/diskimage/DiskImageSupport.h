#pragma once

// What the disk image tests share: a per-run folder (HOME, TMPDIR, the tool's state folder),
// a per-run folder of mount points below /Volumes, squashfs images made for the test, the
// tool run with its standard output and error captured, and a clean-up that detaches
// whatever a failed test left attached.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tove/Folders.h"
#include "tove/QuickTask.h"
#include "tove/testing/TempDir.h"
#include "tove/testing/TempHome.h"

namespace tove::test {

namespace fs = std::filesystem;

using tove::testing::readFile;

inline void writeFile(const fs::path& path, const std::string& text, fs::perms mode) {
  tove::testing::writeFile(path, text);
  fs::permissions(path, mode);
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// The mount points below `folder` that this machine has, from /proc/self/mountinfo.
inline std::vector<std::string> mountsBelow(const std::string& folder) {
  std::vector<std::string> found;
  if (folder.empty()) return found;
  std::ifstream table("/proc/self/mountinfo");
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    fields >> id >> parent >> device >> root >> mountPoint;
    // The table writes white space and backslashes as octal escapes ("\040").
    for (std::size_t i = 0; (i = mountPoint.find('\\', i)) != std::string::npos; ++i)
      mountPoint.replace(i, 4, 1, static_cast<char>(std::stoi(mountPoint.substr(i + 1, 3), {}, 8)));
    if (mountPoint.rfind(folder + "/", 0) == 0) found.push_back(mountPoint);
  }
  return found;
}

// The bytes of /proc/<pid>/cmdline split at NUL; empty when the process is gone.
inline std::vector<std::string> commandLineOf(pid_t pid) {
  std::vector<std::string> argv;
  const int fd =
      ::open(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return argv;
  std::string bytes;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
    bytes.append(buffer, std::size_t(n));
  ::close(fd);
  std::istringstream in(bytes);
  for (std::string arg; std::getline(in, arg, '\0');) argv.push_back(arg);
  return argv;
}

// The squashfuse processes serving a mount point below `folder` (their last argument).
inline std::vector<pid_t> daemonsBelow(const std::string& folder) {
  std::vector<pid_t> found;
  if (folder.empty()) return found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (const dirent* entry = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    const auto argv = commandLineOf(pid);
    if (argv.size() >= 3 && fs::path(argv.front()).filename() == "squashfuse" &&
        argv.back().rfind(folder + "/", 0) == 0) {
      found.push_back(pid);
    }
  }
  ::closedir(proc);
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
  static std::string sparkler() { return TOVE_TEST_SPARKLER; }

  std::vector<std::string> records() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(state_)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("disk", 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  ToolRun runTool(std::vector<std::string> arguments) const {
    return runProgram(tool(), std::move(arguments));
  }

  // Runs `program` with its standard output and error sent to files of their own (the shell
  // only redirects them; the arguments reach the program unchanged).
  ToolRun runProgram(const std::string& program, const std::vector<std::string>& arguments) const {
    static std::atomic<int> counter = 0;
    const std::string out = (folder() / ("out-" + std::to_string(++counter))).string();
    Arguments shell{{"-c", "o=$1; shift; exec \"$0\" \"$@\" >\"$o\" 2>\"$o-err\"", program, out}};
    shell.list.insert(shell.list.end(), arguments.begin(), arguments.end());
    ToolRun run{QuickTask::statusOfTask("/bin/sh", shell), readFile(out), readFile(out + "-err")};
    fs::remove(out);
    fs::remove(out + "-err");
    return run;
  }

  // A squashfs image at `image` holding the tree at `source` as its root.
  static bool makeImage(const fs::path& source, const fs::path& image) {
    return QuickTask::executeTask("/usr/bin/mksquashfs",
                                  Arguments{{source.string(), image.string(), "-noappend",
                                             "-no-progress", "-quiet", "-all-root"}});
  }

  // Detaches everything the tool has a record of, then every mount and daemon below the
  // run's folder of mount points that has none, so that a failed test leaves nothing.
  void detachAll() const {
    for (const std::string& record : records()) runTool({"detach", record, "-force"});
    for (const std::string& mountPoint : mountsBelow(volumes_)) {
      runTool({"detach", mountPoint, "-force"});
    }
    for (const pid_t daemon : daemonsBelow(volumes_)) ::kill(daemon, SIGKILL);
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
    ::setenv("TOVE_HDIUTIL_STATE", state_.c_str(), 1);
    ::unsetenv("TOVE_HDIUTIL_MOUNTER");
    // The attach grammar only reads mount points below /Volumes, so the run's mount points
    // live in a folder of their own there.
    std::error_code error;
    const std::string volumes = "/Volumes/tove-tests-" + Folders::newUUIDString();
    for (int attempt = 0; attempt < 3 && volumes_.empty(); ++attempt) {
      if (fs::create_directory("/Volumes", error)) std::ofstream{kMarker};
      if (fs::create_directory(volumes, error)) volumes_ = volumes;
    }
    ::setenv("TOVE_HDIUTIL_VOLUMES",
             volumes_.empty() ? (folder() / "Volumes").c_str() : volumes_.c_str(), 1);
    canMount_ = ::geteuid() == 0 || ::access("/dev/fuse", R_OK | W_OK) == 0;
  }

  tove::testing::TempDir dir_{"tove-diskimage"};
  tove::testing::TempHome home_;
  fs::path state_;
  std::string volumes_;
  bool canMount_ = false;
};

// Every test starts and ends with nothing attached, in a work folder of its own; a test that
// failed half-way is cleaned up here, and the check that nothing of ours is left runs after
// every test.
class DiskImageTest : public ::testing::Test {
 protected:
  DiskImageRun& run = DiskImageRun::shared();
  fs::path work = run.folder() / ("work " + Folders::newUUIDString());

  void TearDown() override {
    const auto leftRecords = run.records();
    const auto leftMounts = mountsBelow(run.volumes());
    const auto leftDaemons = daemonsBelow(run.volumes());
    run.detachAll();
    EXPECT_TRUE(leftRecords.empty()) << "a test left a record: " << leftRecords.front();
    EXPECT_TRUE(leftMounts.empty()) << "a test left a mount: " << leftMounts.front();
    EXPECT_TRUE(leftDaemons.empty()) << "a test left a squashfuse: " << leftDaemons.front();
    std::error_code ignored;
    fs::remove_all(work, ignored);
    if (run.volumes().empty()) return;
    for (const auto& entry : fs::directory_iterator(run.volumes())) {
      ADD_FAILURE() << "a test left a mount point: " << entry.path();
      fs::remove(entry.path(), ignored);
    }
  }

  void requireMounting() {
    if (!run.canMount()) GTEST_SKIP() << "this machine cannot mount images below /Volumes";
  }

  ToolRun publish(const fs::path& app, const std::string& version, const fs::path& out) {
    return run.runProgram(DiskImageRun::sparkler(), {"publish", "--app", app.string(), "--version",
                                                     version, "--out", out.string()});
  }
};

}  // namespace tove::test

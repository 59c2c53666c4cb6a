#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AppTestSupport.h"
#include "tove/Bundle.h"
#include "tove/FileManager.h"

extern char** environ;

namespace tove {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Contents big enough that copying them takes a while, so that kills land inside the copy as
// well as around the swap.
fs::path makeBigContents(const fs::path& parent, const std::string& version) {
  auto bundle = testing::makeAppBundle(parent, version, version);
  for (int i = 0; i < 200; ++i) {
    const std::string name = "Resources/data/" + std::to_string(i / 20) + "/" + std::to_string(i);
    testing::writeFile(bundle / "Contents" / name,
                       std::string(32 * 1024, char('a' + i % 26)) + version);
  }
  return bundle / "Contents";
}

// Replaces `target` by a copy of `source` in a process of its own, killed after `killAfter`
// when given; the process's wait status, or -1 when it could not be started.
int install(const fs::path& target, const fs::path& source,
            std::optional<Clock::duration> killAfter = {}) {
  std::string program = TOVE_INSTALL_CHILD_PATH, oldPath = target, newPath = source;
  char* argv[] = {program.data(), oldPath.data(), newPath.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  if (killAfter) {
    std::this_thread::sleep_for(*killAfter);
    ::kill(pid, SIGKILL);
  }
  int status = -1;
  return ::waitpid(pid, &status, 0) == pid ? status : -1;
}

// The hidden siblings (copies, set-aside items) beside the item at `path`.
std::vector<std::string> hiddenSiblings(const fs::path& path) {
  std::vector<std::string> names;
  const std::string prefix = "." + path.filename().string() + ".tove-";
  for (const auto& entry : fs::directory_iterator(path.parent_path())) {
    const auto name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  return names;
}

// Whenever the installing process dies, the bundle holds the old Contents or the new, whole,
// and a later installation still works.
TEST(InstallKill, TheBundleHoldsOldOrNewContentsWholeWhereverTheInstallationIsKilled) {
  testing::TempDir dir;
  const auto oldContents = makeBigContents(dir.path() / "old", "1.0.0");
  const auto newContents = makeBigContents(dir.path() / "new", "1.0.1");
  const auto oldSnapshot = testing::snapshot(oldContents);
  const auto newSnapshot = testing::snapshot(newContents);
  const fs::path bundle = dir.path() / "Applications/Tove.app";
  fs::create_directories(bundle);
  fs::copy(oldContents, bundle / "Contents", fs::copy_options::recursive);

  // An uninterrupted run gives the span over which the kills are spread.
  fs::create_directories(dir.path() / "scratch/Tove.app");
  const auto started = Clock::now();
  ASSERT_EQ(install(dir.path() / "scratch/Tove.app/Contents", newContents), 0);
  const auto span = Clock::now() - started;

  constexpr int kKills = 40;
  for (int i = 0; i < kKills; ++i) {
    // Each round installs the Contents that the bundle does not hold now.
    const bool holdsNew = testing::snapshot(bundle / "Contents") == newSnapshot;
    ASSERT_NE(install(bundle / "Contents", holdsNew ? oldContents : newContents,
                      span * (i + 1) / kKills * 5 / 4),
              -1);
    const auto after = testing::snapshot(bundle / "Contents");
    const bool isOld = after == oldSnapshot;
    ASSERT_TRUE(isOld || after == newSnapshot) << "round " << i << ": the bundle holds a mix";
    EXPECT_EQ(
        Bundle::bundleWithPath(bundle)->objectForInfoDictionaryKey("CFBundleShortVersionString"),
        isOld ? "1.0.0" : "1.0.1");
    // Each run removes what the runs killed before it left, so they do not pile up.
    EXPECT_LE(hiddenSiblings(bundle / "Contents").size(), 1u) << "round " << i;
  }

  // What the last killed run left is abandoned, and goes.
  FileManager::removeAbandonedCopies((bundle / "Contents").string());
  EXPECT_EQ(hiddenSiblings(bundle / "Contents"), std::vector<std::string>{});
  EXPECT_EQ(install(bundle / "Contents", newContents), 0);
  EXPECT_EQ(testing::snapshot(bundle / "Contents"), newSnapshot);
}

// An installation in a process of its own, stopped once its copy has begun (InstallChild
// --pause) until resume(); killed and reaped at the latest on destruction.
class PausedInstall {
 public:
  PausedInstall(const fs::path& target, const fs::path& source) {
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) return;
    std::string program = TOVE_INSTALL_CHILD_PATH, flag = "--pause", oldPath = target,
                newPath = source;
    char* argv[] = {program.data(), flag.data(), oldPath.data(), newPath.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    toChild_ = input[1];
    fromChild_ = output[0];
  }
  ~PausedInstall() {
    if (pid_ > 0) kill();
    if (toChild_ >= 0) ::close(toChild_);
    if (fromChild_ >= 0) ::close(fromChild_);
  }

  // True once the child reports that its copy has begun; false when it ended first.
  bool waitUntilCopying() {
    std::string line;
    char byte = 0;
    while (line.size() < 8 && ::read(fromChild_, &byte, 1) == 1) line += byte;
    return line == "copying\n";
  }
  // Lets the copy go on; the child's wait status.
  int resume() {
    ::close(toChild_);
    toChild_ = -1;
    return reap();
  }
  int kill() {
    ::kill(pid_, SIGKILL);
    return reap();
  }

 private:
  int reap() {
    int status = -1;
    if (::waitpid(pid_, &status, 0) != pid_) status = -1;
    pid_ = -1;
    return status;
  }

  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
};

// The copy of an installation that is running in another process is its own; once that
// process is gone, the copy is abandoned and goes.
TEST(InstallKill, TheCopyOfAnInstallationStillRunningIsKeptAndRemovedOnceItsProcessIsGone) {
  testing::TempDir dir;
  const auto newContents = makeBigContents(dir.path() / "new", "1.0.1");
  const auto target = dir.path() / "Applications/Tove.app/Contents";
  const auto oldSnapshot =
      testing::snapshot(makeBigContents(target.parent_path().parent_path(), "1.0.0"));

  {
    PausedInstall running(target, newContents);
    ASSERT_TRUE(running.waitUntilCopying());
    EXPECT_EQ(FileManager::removeAbandonedCopies(target.string()), 0u);
    EXPECT_EQ(hiddenSiblings(target).size(), 1u);
    const int status = running.kill();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  }
  EXPECT_EQ(hiddenSiblings(target).size(), 1u);
  EXPECT_EQ(FileManager::removeAbandonedCopies(target.string()), 1u);
  EXPECT_EQ(hiddenSiblings(target), std::vector<std::string>{});
  EXPECT_EQ(testing::snapshot(target), oldSnapshot);

  PausedInstall running(target, newContents);
  ASSERT_TRUE(running.waitUntilCopying());
  EXPECT_EQ(FileManager::removeAbandonedCopies(target.string()), 0u);
  EXPECT_EQ(running.resume(), 0);
  EXPECT_EQ(hiddenSiblings(target), std::vector<std::string>{});
  EXPECT_EQ(testing::snapshot(target), testing::snapshot(newContents));
}

}  // namespace
}  // namespace tove

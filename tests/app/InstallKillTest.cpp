#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>

#include "AppTestSupport.h"
#include "tove/Bundle.h"
#include "tove/testing/TempDir.h"

extern char** environ;

namespace tove {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Contents big enough that copying them takes a while, so that kills land inside the copy as
// well as around the swap.
fs::path makeBigBundle(const fs::path& parent, const std::string& version) {
  auto bundle = testing::makeAppBundle(parent, version, version);
  for (int i = 0; i < 200; ++i) {
    const std::string name = "Resources/data/" + std::to_string(i / 20) + "/" + std::to_string(i);
    testing::writeFile(bundle / "Contents" / name,
                       std::string(32 * 1024, char('a' + i % 26)) + version);
  }
  return bundle;
}

pid_t startInstall(const fs::path& target, const fs::path& source) {
  std::string program = TOVE_INSTALL_CHILD_PATH;
  std::string oldPath = target.string();
  std::string newPath = source.string();
  char* argv[] = {program.data(), oldPath.data(), newPath.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  return pid;
}

// The installation's promise: whenever the process dies, the bundle holds the old Contents or
// the new, whole, and a later installation still works.
TEST(InstallKill, TheBundleHoldsOldOrNewContentsWholeWhereverTheInstallationIsKilled) {
  testing::TempDir dir;
  const auto oldContents = makeBigBundle(dir.path() / "old", "1.0.0") / "Contents";
  const auto newContents = makeBigBundle(dir.path() / "new", "1.0.1") / "Contents";
  const auto oldSnapshot = testing::snapshot(oldContents);
  const auto newSnapshot = testing::snapshot(newContents);
  const fs::path bundle = dir.path() / "Applications/Tove.app";
  fs::create_directories(bundle);
  fs::copy(oldContents, bundle / "Contents", fs::copy_options::recursive);

  // An uninterrupted run gives the span over which the kills are spread.
  const fs::path scratch = dir.path() / "scratch/Tove.app";
  fs::create_directories(scratch);
  const auto started = Clock::now();
  pid_t pid = startInstall(scratch / "Contents", newContents);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_EQ(status, 0);
  const auto span = Clock::now() - started;

  constexpr int kKills = 40;
  int oldSeen = 0;
  int newSeen = 0;
  for (int i = 0; i < kKills; ++i) {
    // Each round installs the Contents that the bundle does not hold now.
    const auto current = testing::snapshot(bundle / "Contents");
    const bool holdsNew = current == newSnapshot;
    pid = startInstall(bundle / "Contents", holdsNew ? oldContents : newContents);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(span * (i + 1) / kKills * 5 / 4);
    ::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);

    const auto after = testing::snapshot(bundle / "Contents");
    const bool isOld = after == oldSnapshot;
    const bool isNew = after == newSnapshot;
    ASSERT_TRUE(isOld || isNew) << "round " << i << ": the bundle holds a mix";
    (isOld ? oldSeen : newSeen)++;
    auto version =
        Bundle::bundleWithPath(bundle)->objectForInfoDictionaryKey("CFBundleShortVersionString");
    EXPECT_EQ(version, isOld ? "1.0.0" : "1.0.1");
  }
  RecordProperty("old", oldSeen);
  RecordProperty("new", newSeen);

  // Copies left behind by killed runs do not stand in the way of the next installation.
  pid = startInstall(bundle / "Contents", newContents);
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(testing::snapshot(bundle / "Contents"), newSnapshot);
}

}  // namespace
}  // namespace tove

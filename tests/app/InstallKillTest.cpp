#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "AppTestSupport.h"
#include "tove/Bundle.h"

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
  }

  // Copies left behind by killed runs do not stand in the way of the next installation.
  EXPECT_EQ(install(bundle / "Contents", newContents), 0);
  EXPECT_EQ(testing::snapshot(bundle / "Contents"), newSnapshot);
}

}  // namespace
}  // namespace tove

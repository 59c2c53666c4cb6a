// Installations through the real path: a squashfs image in the cache, the disk image tool, the
// guarded copy, the checks of the new contents, the swap. Whatever the image holds and wherever
// an installation is cut short, the bundle ends old or new, whole, runnable and safe, and
// nothing is left attached, recorded or half-copied.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "diskimage/DiskImageSupport.h"
#include "tove/Bundle.h"
#include "tove/Checksum.h"
#include "tove/DMGExtractor.h"
#include "tove/Dispatch.h"
#include "tove/Log.h"
#include "tove/Sparkler.h"
#include "tove/testing/ManualMainLoop.h"
#include "tove/testing/SparklerTesting.h"

extern char** environ;

namespace tove::test {
namespace {

using Change = std::function<void(const fs::path& app)>;

class InstallTest : public DiskImageTest {
 protected:
  fs::path bundle = work / "Applications" / "Tove.app";
  fs::path cache = work / "cache";
  fs::path image = cache / "Tove-1.0.1.dmg";
  std::shared_ptr<testing::ManualMainLoop> loop = std::make_shared<testing::ManualMainLoop>();
  std::shared_ptr<Sparkler> sparkler = SparklerTesting::make();
  std::vector<std::string> logged;
  std::map<std::string, std::string> oldContents;

  void SetUp() override {
    requireMounting();
    makeApp(bundle.parent_path(), "1.0.0");
    oldContents = snapshot(bundle);
    fs::create_directories(cache);
    Bundle::overrideMainBundlePath(bundle);
    DMGExtractor::setToolPath(DiskImageRun::tool());
    dispatch::setMainLoop(loop);
    sparkler->setFolder(std::make_shared<const std::string>(cache.string()));
    Log::setSink([this](std::string_view line) { logged.emplace_back(line); });
  }

  void TearDown() override {
    Log::setSink({});
    dispatch::setMainLoop(nullptr);
    DMGExtractor::setToolPath(std::nullopt);
    Bundle::overrideMainBundlePath(std::nullopt);
    DiskImageTest::TearDown();
  }

  // The image of 1.0.1 built from a good app changed by `change`, offered as the newest update.
  void offer(const Change& change = {}) {
    const fs::path source = work / ("source " + Folders::newUUIDString());
    const fs::path app = makeApp(source, "1.0.1");
    if (change) change(app);
    fs::remove(image);
    ASSERT_TRUE(DiskImageRun::makeImage(source, image));
    fs::remove_all(source);
    const std::string bytes = readFile(image);
    sparkler->setUpdates(std::make_shared<const nlohmann::json>(
        nlohmann::json::array({{{"version", "1.0.1"},
                                {"name", image.filename().string()},
                                {"hash", Checksum::MD5String(bytes).value_or("")},
                                {"size", bytes.size()}}})));
    sparkler->setUpdateAvailable(true);
  }

  // Runs one installation to its end; its outcome.
  bool install() {
    std::optional<bool> outcome;
    EXPECT_TRUE(sparkler->update([&](bool installed) { outcome = installed; }));
    EXPECT_TRUE(loop->waitForPost(std::chrono::minutes(5)));
    loop->runPosted();
    EXPECT_TRUE(outcome.has_value());
    return outcome.value_or(false);
  }

  std::string installedVersion() const {
    return Bundle::bundleWithPath(bundle)
        ->objectForInfoDictionaryKey("CFBundleShortVersionString")
        .value_or("");
  }

  // Nothing but Contents beside it: no partial copy or set-aside item.
  std::vector<std::string> besideContents() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(bundle)) {
      if (entry.path().filename() != "Contents") names.push_back(entry.path().filename());
    }
    return names;
  }

  void restoreOldBundle() {
    fs::remove_all(bundle);
    makeApp(bundle.parent_path(), "1.0.0");
  }
};

// `item` of the image (a path below its root) made a symbolic link to `target`.
Change linkAt(const char* item, const fs::path& target) {
  return [=](const fs::path& app) {
    fs::remove_all(app.parent_path() / item);
    fs::create_symlink(target, app.parent_path() / item);
  };
}

// The image's Info.plist made to give `version` and `identifier`.
Change infoOf(const char* version, const char* identifier) {
  return [=](const fs::path& app) {
    testing::makeTestBundle(app.parent_path(), "Tove", version, identifier);
  };
}

// One table of hostile images. Refused ones leave the old bundle exactly as it was and say why
// in one log line; accepted ones are installed with safe modes, the old owner (when root can
// give it) and without blowing up holes.
TEST_F(InstallTest, HostileImagesLeaveTheBundleOldOrNewWholeAndSafe) {
  const fs::path outside = makeApp(work / "outside", "1.0.1");
  struct Case {
    const char* name;
    Change change;
    const char* refusal;  // in the log line; null when the image installs
  };
  const std::vector<Case> cases = {
      {"Contents is a link to /etc", linkAt("Tove.app/Contents", "/etc"), "symbolic link"},
      {"Contents is a file",
       [](const fs::path& app) {
         fs::remove_all(app / "Contents");
         writeFile(app / "Contents", "x", fs::perms(0644));
       },
       "not a folder"},
      {"Contents is empty",
       [](const fs::path& app) {
         fs::remove_all(app / "Contents");
         fs::create_directory(app / "Contents");
       },
       "no Info.plist"},
      {"the app is a link to a folder outside the image", linkAt("Tove.app", outside),
       "symbolic link"},
      {"an older version under the newer entry", infoOf("0.0.1", "org.tove.Tove"),
       "version \"0.0.1\""},
      {"another app", infoOf("1.0.1", "org.other.App"), "org.other.App"},
      {"an executable that cannot run",
       [](const fs::path& app) { fs::permissions(app / "Contents/MacOS/Tove", fs::perms(0644)); },
       "executable"},
      {"an executable that is a link out", linkAt("Tove.app/Contents/MacOS/Tove", "/bin/sh"),
       "/bin/sh"},
      {"a relative link that climbs out",
       linkAt("Tove.app/Contents/Resources/passwd", "../../../../../../etc/passwd"), "passwd"},
      {"more data than the bound",
       [](const fs::path& app) {
         std::FILE* file = std::fopen((app / "Contents/Resources/big").c_str(), "wb");
         const std::string block(1 << 20, 'a');
         for (int i = 0; i < 100; ++i) std::fwrite(block.data(), 1, block.size(), file);
         std::fclose(file);
       },
       "big"},
      {"set-id and world-writable items, and a sparse gigabyte",
       [](const fs::path& app) {
         writeFile(app / "Contents/MacOS/helper", "#!/bin/sh\n", fs::perms(04777));
         writeFile(app / "Contents/Resources/open/file", "x", fs::perms(02666));
         fs::permissions(app / "Contents/Resources/open", fs::perms(01777));
         writeFile(app / "Contents/Resources/sparse", "", fs::perms(0644));
         fs::resize_file(app / "Contents/Resources/sparse", std::uintmax_t{1} << 30);
       },
       nullptr},
  };
  // Root updates an app that a user owns: the new contents stay the user's.
  constexpr uid_t kUser = 4321;
  const bool root = ::geteuid() == 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restoreOldBundle();
    for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
      ASSERT_TRUE(!root || ::lchown(entry.path().c_str(), kUser, kUser) == 0);
    }
    logged.clear();
    offer(c.change);
    EXPECT_EQ(install(), c.refusal == nullptr);
    EXPECT_TRUE(besideContents().empty()) << besideContents().front();
    EXPECT_TRUE(fs::exists(image));
    if (c.refusal != nullptr) {
      EXPECT_EQ(snapshot(bundle), oldContents);
      ASSERT_EQ(logged.size(), 1u);
      EXPECT_NE(logged[0].find(c.refusal), std::string::npos) << logged[0];
      continue;
    }
    EXPECT_TRUE(logged.empty()) << logged.front();
    EXPECT_EQ(installedVersion(), "1.0.1");
    for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
      struct stat info {};
      ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
      EXPECT_TRUE(!root || (info.st_uid == kUser && info.st_gid == kUser)) << entry.path();
      if (S_ISLNK(info.st_mode)) continue;
      EXPECT_EQ(info.st_mode & (S_ISUID | S_ISGID | S_ISVTX | S_IWGRP | S_IWOTH), 0u)
          << entry.path();
    }
    struct stat sparse {};
    ASSERT_EQ(::stat((bundle / "Contents/Resources/sparse").c_str(), &sparse), 0);
    EXPECT_EQ(sparse.st_size, off_t{1} << 30);
    EXPECT_LT(sparse.st_blocks * 512, off_t{1} << 20);
  }
}

// Runs the extraction in a child process and kills it with SIGKILL as soon as it prints
// `killAt`; the child's last line.
std::string runChildKilledAt(const fs::path& image, const fs::path& bundle,
                             const std::string& killAt) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return "no pipe";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::string program = TOVE_UPDATER_CHILD_PATH, mode = "extract", imagePath = image,
              bundlePath = bundle;
  char* argv[] = {program.data(), mode.data(), imagePath.data(), bundlePath.data(), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string pending, last;
  char chunk[256];
  for (ssize_t n; spawned == 0 && (n = ::read(out[0], chunk, sizeof chunk)) > 0;) {
    pending.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      last = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (last == killAt) ::kill(pid, SIGKILL);
    }
  }
  ::close(out[0]);
  if (spawned == 0) ::waitpid(pid, nullptr, 0);
  return last;
}

// Whether, within a generous bound, no process runs the disk image tool of this build.
bool noToolRunning() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    bool found = false;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
      std::error_code ignored;
      if (fs::read_symlink(entry.path() / "exe", ignored) == DiskImageRun::tool()) found = true;
    }
    if (!found) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Installations killed while attaching, while copying, and once swapped but still attached
// leave the bundle old or new and whole; the next installation cleans up all they left.
TEST_F(InstallTest, KilledInstallationsLeaveNothingOnceTheNextOneRuns) {
  offer([](const fs::path& app) {
    for (int i = 0; i < 600; ++i) {
      writeFile(app / "Contents/Resources/data" / std::to_string(i % 10) / std::to_string(i),
                std::string(8192, static_cast<char>('a' + i % 26)), fs::perms(0644));
    }
  });
  ::setenv("TOVE_HDIUTIL", DiskImageRun::tool().c_str(), 1);
  for (const std::string point : {"attaching", "copying", "copied 200", "detaching"}) {
    SCOPED_TRACE(point);
    EXPECT_EQ(runChildKilledAt(image, bundle, point), point);
    const std::string version = installedVersion();
    EXPECT_TRUE(version == "1.0.0" || version == "1.0.1") << version;
    if (version == "1.0.1") restoreOldBundle();
  }
  ::unsetenv("TOVE_HDIUTIL");
  // A tool whose caller was killed while it attached finishes (and undoes its attach) on its
  // own; the check below is about what is left once nothing of the killed runs is running.
  EXPECT_TRUE(noToolRunning());
  ASSERT_TRUE(install());
  EXPECT_EQ(installedVersion(), "1.0.1");
  EXPECT_TRUE(besideContents().empty()) << besideContents().front();
}

// Neither a FUSE daemon that stops answering nor holes without end can hold an installation:
// past the stall limit the image is forced off, past the read bound the copy stops; the copy
// fails, the old bundle stays, and no process is left.
TEST_F(InstallTest, StoppedImagesAndEndlessHolesEndTheInstallation) {
  offer([](const fs::path& app) {
    writeFile(app / "Contents/Resources/holes", "", fs::perms(0644));
    fs::resize_file(app / "Contents/Resources/holes", std::uintmax_t{16} << 20);
  });
  ExtractOptions bounded;
  bounded.maxBytesRead = std::uint64_t{1} << 20;
  ExtractFailure tooMuch;
  EXPECT_FALSE(DMGExtractor::extract("Tove.app/Contents", image.string(), bundle.string(), bounded,
                                     &tooMuch));
  EXPECT_NE(tooMuch.reason.find("holes included"), std::string::npos) << tooMuch.reason;
  EXPECT_EQ(snapshot(bundle), oldContents);

  ::setenv("TOVE_HDIUTIL_MOUNTER", "fuse", 1);
  std::vector<pid_t> daemons;
  ExtractOptions options;
  options.requireFolder = true;
  options.stallLimit = std::chrono::seconds(1);
  options.phase = [&](ExtractPhase phase) {
    if (phase != ExtractPhase::copying) return;
    daemons = daemonsBelow(run.volumes());
    for (const pid_t daemon : daemons) ::kill(daemon, SIGSTOP);
  };
  ExtractFailure failure;
  const auto result = DMGExtractor::extract("Tove.app/Contents", image.string(), bundle.string(),
                                            options, &failure);
  ::unsetenv("TOVE_HDIUTIL_MOUNTER");
  ASSERT_EQ(daemons.size(), 1u) << "no squashfuse process served the image";
  EXPECT_FALSE(result);
  EXPECT_NE(failure.reason.find("stopped responding"), std::string::npos) << failure.reason;
  EXPECT_EQ(snapshot(bundle), oldContents);
  EXPECT_TRUE(besideContents().empty());
}

}  // namespace
}  // namespace tove::test

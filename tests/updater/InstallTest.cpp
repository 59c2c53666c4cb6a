// Installations through the real path. Whatever the image holds and wherever an installation
// is cut short, the bundle ends old or new, whole and safe, and nothing is left behind.
#include <sys/stat.h>

#include <atomic>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "sparkler/Bundle.h"
#include "sparkler/Checksum.h"
#include "sparkler/DMGExtractor.h"
#include "sparkler/Dispatch.h"
#include "sparkler/Log.h"
#include "sparkler/Sparkler.h"
#include "sparkler/testing/DiskImages.h"
#include "sparkler/testing/ManualMainLoop.h"

namespace sparkler::test {
namespace {

class InstallTest : public DiskImageTest {
 protected:
  fs::path bundle = work / "Applications" / "Tove.app";
  fs::path cache = work / "cache";
  fs::path image = cache / "Tove-1.0.1.dmg";
  std::shared_ptr<testing::ManualMainLoop> loop = std::make_shared<testing::ManualMainLoop>();
  std::shared_ptr<Sparkler> sparkler;
  std::vector<std::string> logged;
  std::vector<SparklerProgress::Phase> phases;
  std::map<std::string, std::string> oldContents;

  void SetUp() override {
    requireMounting();
    makeApp(bundle.parent_path(), "1.0.0");
    oldContents = snapshot(bundle);
    fs::create_directories(cache);
    DMGExtractor::setToolPath(DiskImageRun::tool());
    Log::setSink([this](std::string_view line) { logged.emplace_back(line); });
    sparkler = updaterFor(bundle);
  }

  // An updater of the app at `app`, whose images lie in the cache (the manifest is never read).
  std::shared_ptr<Sparkler> updaterFor(const fs::path& app) {
    SparklerConfiguration configuration;
    configuration.manifestURL = "https://127.0.0.1:1/_.json";
    configuration.bundle = app;
    configuration.cacheFolder = cache;
    configuration.progress = [this](const SparklerProgress& progress) {
      if (phases.empty() || phases.back() != progress.phase) phases.push_back(progress.phase);
    };
    return Sparkler::create(configuration, {.mainLoop = loop});
  }

  void TearDown() override {
    Log::setSink({});
    DMGExtractor::setToolPath(std::nullopt);
    DiskImageTest::TearDown();
  }

  // The image of 1.0.1 built from a good app changed by the shell command `change`, run in the
  // folder that becomes the image's root, offered as the newest update.
  void offer(const std::string& change = ":", const std::string& name = "Tove") {
    const fs::path source = work / ("source " + Folders::newUUIDString());
    makeApp(source, "1.0.1", name);
    ASSERT_TRUE(QuickTask::executeTask(
        "/bin/sh", Arguments{{"-c", "cd \"$0\" && " + change, source.string()}}));
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

  bool install() {
    std::optional<bool> outcome;
    phases.clear();
    EXPECT_TRUE(sparkler->update([&](bool installed) { outcome = installed; }));
    while (!outcome && loop->waitForPost(std::chrono::minutes(5))) loop->runPosted();
    EXPECT_TRUE(outcome.has_value());
    return outcome.value_or(false);
  }

  std::string installedVersion(const fs::path& app) const {
    return Bundle::bundleWithPath(app)
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

// Refused images leave the old bundle as it was and say why in one line; accepted ones are
// installed with safe modes, the old owner and their holes kept.
TEST_F(InstallTest, HostileImagesLeaveTheBundleOldOrNewWholeAndSafe) {
  const std::string outside = makeApp(work / "outside", "1.0.1").string();
  const std::string app = "cd Tove.app/Contents && ";
  using Errc = SparklerErrc;
  const std::vector<std::tuple<std::string, const char*, Errc>> cases = {
      {"rm -r Tove.app/Contents && ln -s /etc Tove.app/Contents", "symbolic link",
       Errc::itemRefused},
      {"rm -r Tove.app/Contents && echo x > Tove.app/Contents", "not a folder", Errc::itemRefused},
      {"rm -r Tove.app/Contents && mkdir Tove.app/Contents", "no Info.plist",
       Errc::contentsRefused},
      {"rm -r Tove.app && ln -s '" + outside + "' Tove.app", "symbolic link", Errc::itemRefused},
      {app + "sed -i s/1.0.1/0.0.1/ Info.plist", "version \"0.0.1\"", Errc::contentsRefused},
      {app + "sed -i s/org.tove.Tove/org.other.App/ Info.plist", "org.other.App",
       Errc::contentsRefused},
      {app + "chmod 644 MacOS/Tove", "executable", Errc::contentsRefused},
      {app + "ln -sf /bin/sh MacOS/Tove", "/bin/sh", Errc::replaceFailed},
      {app + "head -c 100M /dev/zero | tr '\\0' a > Resources/big", "big", Errc::replaceFailed},
      // Set-id and world-writable items, and a sparse gigabyte, installed tamed.
      {app + "install -m 4777 /dev/null MacOS/helper && mkdir -m 1777 Resources/open && "
             "install -m 2666 /dev/null Resources/open/file && truncate -s 1G Resources/sparse",
       nullptr, Errc{}}};
  // Root updates an app that a user owns: the new contents stay the user's.
  constexpr uid_t kUser = 4321;
  const bool root = ::geteuid() == 0;
  for (const auto& [change, refusal, errc] : cases) {
    SCOPED_TRACE(change);
    restoreOldBundle();
    for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
      ASSERT_TRUE(!root || ::lchown(entry.path().c_str(), kUser, kUser) == 0);
    }
    logged.clear();
    offer(change);
    EXPECT_EQ(install(), refusal == nullptr);
    EXPECT_TRUE(besideContents().empty()) << besideContents().front();
    EXPECT_TRUE(fs::exists(image));  // a later installation can try again
    if (refusal != nullptr) {
      EXPECT_EQ(snapshot(bundle), oldContents);
      ASSERT_EQ(logged.size(), 1u);
      EXPECT_NE(logged[0].find(refusal), std::string::npos) << logged[0];
      EXPECT_EQ(sparkler->lastError()->code, errc) << sparkler->lastError()->message;
      continue;
    }
    EXPECT_TRUE(logged.empty()) << logged.front();
    using Phase = SparklerProgress::Phase;
    EXPECT_EQ(phases, (std::vector<Phase>{Phase::Attaching, Phase::Copying, Phase::Replacing,
                                          Phase::Detaching, Phase::Finished}));
    EXPECT_EQ(installedVersion(bundle), "1.0.1");
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

// The item installed is named after the app (its CFBundleName), whatever its folder is called.
TEST_F(InstallTest, AnotherAppInARenamedFolderInstallsItsOwnItem) {
  const fs::path renamed = work / "Applications" / "Renamed.app";
  fs::rename(makeApp(work / "Hello", "1.0.0", "Hello"), renamed);
  sparkler = updaterFor(renamed);
  ASSERT_TRUE(sparkler);
  offer("cp Tove.app/Contents/MacOS/Tove Tove.app/Contents/MacOS/Hello", "Tove");
  EXPECT_FALSE(install());  // the image holds Tove.app, not Hello.app
  EXPECT_EQ(sparkler->lastError()->code, SparklerErrc::itemRefused);
  // A check that ends later replaces lastError(), not the installation's own failure.
  EXPECT_FALSE(sparkler->coreCheck());
  EXPECT_EQ(sparkler->lastError()->code, SparklerErrc::manifestUnreachable);
  EXPECT_EQ(sparkler->lastUpdateError()->code, SparklerErrc::itemRefused);
  offer("cp Hello.app/Contents/MacOS/Tove Hello.app/Contents/MacOS/Hello", "Hello");
  ASSERT_TRUE(install()) << (logged.empty() ? "" : logged.back());
  EXPECT_FALSE(sparkler->lastUpdateError());
  EXPECT_EQ(installedVersion(renamed), "1.0.1");
  EXPECT_EQ(installedVersion(bundle), "1.0.0");
}

// Installs `image` over `bundle` in a child killed as soon as it says `killAt`; its last line.
std::string runChildKilledAt(const fs::path& image, const fs::path& bundle,
                             const std::string& killAt, const fs::path& fifo) {
  return DiskImageRun::runProgram(
             "/bin/sh",
             {"-c",
              "mkfifo \"$5\" || exit; \"$1\" extract \"$2\" \"$3\" > \"$5\" & child=$!; while "
              "read -r line; do last=$line; [ \"$line\" = \"$4\" ] && kill -9 $child; "
              "done < \"$5\"; wait $child; echo \"$last\"",
              "sh", TOVE_TEST_UPDATER_CHILD, image, bundle, killAt, fifo})
      .output;
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

// Killed installations leave the bundle old or new; the next one cleans up all they left.
TEST_F(InstallTest, KilledInstallationsLeaveNothingOnceTheNextOneRuns) {
  offer(
      "cd Tove.app/Contents && mkdir data && head -c 4915200 /dev/zero | tr '\\0' a | split -b "
      "8192 - data/");
  ::setenv("SPARKLER_HDIUTIL", DiskImageRun::tool().c_str(), 1);
  for (const std::string point : {"attaching", "copying", "copied 200", "detaching"}) {
    SCOPED_TRACE(point);
    EXPECT_EQ(runChildKilledAt(image, bundle, point, work / point), point + "\n");
    const std::string version = installedVersion(bundle);
    EXPECT_TRUE(version == "1.0.0" || version == "1.0.1") << version;
    if (version == "1.0.1") restoreOldBundle();
  }
  ::unsetenv("SPARKLER_HDIUTIL");
  // A tool whose caller was killed finishes (and undoes its attach) on its own.
  EXPECT_TRUE(noToolRunning());
  ASSERT_TRUE(install());
  EXPECT_EQ(installedVersion(bundle), "1.0.1");
  EXPECT_TRUE(besideContents().empty()) << besideContents().front();
}

// Neither a FUSE daemon that stops answering nor endless holes can hold an installation.
TEST_F(InstallTest, StoppedImagesAndEndlessHolesEndTheInstallation) {
  offer("truncate -s 16M Tove.app/Contents/Resources/holes");
  ExtractOptions bounded;
  bounded.maxBytesRead = std::uint64_t{1} << 20;
  ExtractFailure tooMuch;
  EXPECT_FALSE(DMGExtractor::extract("Tove.app/Contents", image.string(), bundle.string(), bounded,
                                     &tooMuch));
  EXPECT_NE(tooMuch.reason.find("holes included"), std::string::npos) << tooMuch.reason;
  EXPECT_EQ(snapshot(bundle), oldContents);

  ::setenv("SPARKLER_HDIUTIL_MOUNTER", "fuse", 1);
  std::vector<pid_t> daemons;
  std::atomic<pid_t> stopped{0};
  ExtractOptions options;
  options.requireFolder = true;
  options.stallLimit = std::chrono::seconds(1);
  options.phase = [&](ExtractPhase phase) {
    if (phase != ExtractPhase::copying) return;
    daemons = daemonsBelow(run.volumes());
    for (const pid_t daemon : daemons) ::kill(daemon, SIGSTOP);
    if (!daemons.empty()) stopped = daemons.front();
  };
  // Should the stall not end it, the daemon is killed: the test fails instead of hanging.
  std::promise<void> finished;
  std::jthread guard([&stopped, done = finished.get_future()] {
    if (done.wait_for(std::chrono::minutes(2)) == std::future_status::timeout &&
        stopped.load() > 0) {
      ::kill(stopped.load(), SIGKILL);
    }
  });
  ExtractFailure failure;
  const auto result = DMGExtractor::extract("Tove.app/Contents", image.string(), bundle.string(),
                                            options, &failure);
  finished.set_value();
  ::unsetenv("SPARKLER_HDIUTIL_MOUNTER");
  ASSERT_EQ(daemons.size(), 1u) << "no squashfuse process served the image";
  EXPECT_FALSE(result);
  EXPECT_NE(failure.reason.find("stopped responding"), std::string::npos) << failure.reason;
  EXPECT_EQ(snapshot(bundle), oldContents);
  EXPECT_TRUE(besideContents().empty());
}

}  // namespace
}  // namespace sparkler::test

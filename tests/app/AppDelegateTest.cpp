#include "tove/AppDelegate.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include "AppTestSupport.h"
#include "sparkler/Bundle.h"
#include "sparkler/DMGExtractor.h"
#include "sparkler/Dispatch.h"
#include "sparkler/Log.h"
#include "sparkler/QtMainLoop.h"
#include "sparkler/Sparkler.h"
#include "sparkler/URLLoader.h"
#include "sparkler/testing/DiskImages.h"
#include "sparkler/testing/HttpsServer.h"
#include "sparkler/testing/TempDir.h"
#include "sparkler/testing/TempHome.h"
#include "tove/Interface.h"

namespace tove {
namespace {

using namespace sparkler;
namespace testing = sparkler::testing;

namespace fs = std::filesystem;
using testing::HttpsServer;

constexpr char kManifestPath[] = "/assets/Tove/software/mac/_.json";
constexpr char kFolderPath[] = "/assets/Tove/software/mac/";

// The window and delegate as the app makes them, with a test bundle and server; launches are
// counted, not made.
class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Sparkler::sparkler()->manifest()) {
      GTEST_SKIP() << "the updater is already configured in this process; run through ctest";
    }
    ASSERT_TRUE(server.ok());
    bundle = testing::makeAppBundle(dir.path(), "1.2.3");
    ASSERT_FALSE(bundle.empty());
    Bundle::overrideMainBundlePath(bundle);
    DMGExtractor::setToolPath(test::DiskImageRun::tool());
    ASSERT_TRUE(URLLoader::setExtraCAFile(server.caFile()));
    dispatch::setMainLoop(mainLoop);
    Log::setSink([this](std::string_view line) {
      std::lock_guard lock(mutex);
      lines.emplace_back(line);
    });
  }

  void TearDown() override {
    window.reset();
    delegate.reset();
    Log::setSink({});
    dispatch::setMainLoop(nullptr);
    mainLoop->close();
    URLLoader::setExtraCAFile(std::nullopt);
    DMGExtractor::setToolPath(std::nullopt);
    Bundle::overrideMainBundlePath(std::nullopt);
  }

  void launch() {
    auto ui = Bundle::mainBundle()->URLForResource("MainWindow", "ui");
    ASSERT_TRUE(ui);
    window = Interface::load(*ui);
    ASSERT_TRUE(window);
    delegate = std::make_shared<AppDelegate>(server.url(kManifestPath),
                                             [this](const fs::path& executable) {
                                               launches.push_back(executable);
                                               return true;
                                             });
    ASSERT_TRUE(Interface::connect(*qApp, *window, delegate));
    window->show();
    label = delegate->label();
    updateButton = delegate->updateButton();
    bounceButton = delegate->bounceButton();
    checkAction = window->findChild<QAction*>("checkForUpdatesAction");
    quitAction = window->findChild<QAction*>("quitAction");
    ASSERT_TRUE(label && updateButton && bounceButton && checkAction && quitAction);
  }

  // Publishes `version` (a real disk image, or `image` bytes when given) as the only entry.
  nlohmann::json publish(std::string_view version, std::optional<std::string> image = {}) {
    const fs::path file = dir.path() / ("Tove-" + std::string(version) + ".dmg");
    const fs::path source = dir.path() / ("source " + std::string(version));
    EXPECT_TRUE(image ? testing::writeFile(file, *image)
                      : !testing::makeAppBundle(source, version, "new").empty() &&
                            test::DiskImageRun::makeImage(source, file));
    server.putFile(kFolderPath + file.filename().string(), testing::readFile(file));
    auto entry = testing::entryFor(file, version);
    server.putFile(kManifestPath, nlohmann::json::array({entry}).dump());
    return entry;
  }

  void waitForFirstCheck(bool expectUpdate) {
    auto sparkler = Sparkler::sparkler();
    ASSERT_TRUE(testing::waitUntil([&] {
      return sparkler->updates() != nullptr && (!expectUpdate || sparkler->updateAvailable());
    }));
  }

  QString status() const { return window->findChild<QLabel*>("statusLabel")->text(); }

  std::vector<std::string> takeLog() {
    std::lock_guard lock(mutex);
    return std::exchange(lines, {});
  }

  // Runs the event loop until the application quits (a guard quits it after 30 s).
  void runUntilQuit(std::function<void()> action) {
    QTimer::singleShot(0, qApp, std::move(action));
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, &QCoreApplication::quit);
    guard.start(30000);
    qApp->exec();
    EXPECT_TRUE(guard.isActive()) << "the application did not quit";
  }

  // The disk image tool's records and mount points of this run, not the machine's.
  test::DiskImageRun& images = test::DiskImageRun::shared();
  testing::TempHome home;
  testing::TempDir dir;
  HttpsServer server;
  std::shared_ptr<QtMainLoop> mainLoop = std::make_shared<QtMainLoop>();
  fs::path bundle;
  std::shared_ptr<AppDelegate> delegate;
  std::unique_ptr<QWidget> window;
  QLabel* label = nullptr;
  QAbstractButton* updateButton = nullptr;
  QAbstractButton* bounceButton = nullptr;
  QAction* checkAction = nullptr;
  QAction* quitAction = nullptr;
  std::vector<fs::path> launches;
  std::mutex mutex;
  std::vector<std::string> lines;
};

TEST_F(AppDelegateTest, UpToDateTheCheckDisablesInstallWhichChangesNothingAndQuitLaunchesNothing) {
  publish("1.2.3");
  launch();
  EXPECT_FALSE(updateButton->isEnabled());
  EXPECT_FALSE(bounceButton->isEnabled());
  waitForFirstCheck(false);
  EXPECT_EQ(label->text().toStdString(), "1.2.3");
  EXPECT_TRUE(testing::waitUntil([&] { return status().startsWith("Up to date (checked at "); }))
      << status().toStdString();

  updateButton->setEnabled(true);
  checkAction->trigger();
  EXPECT_FALSE(updateButton->isEnabled());
  EXPECT_EQ(takeLog(), std::vector<std::string>{"YOU ARE ALREADY UP TO DATE"});
  EXPECT_TRUE(status().startsWith("No update available: up to date (last checked at "));

  updateButton->setEnabled(true);
  QTest::mouseClick(updateButton, Qt::LeftButton);
  EXPECT_TRUE(updateButton->isEnabled());
  EXPECT_FALSE(bounceButton->isEnabled());

  runUntilQuit([&] { quitAction->trigger(); });
  EXPECT_FALSE(delegate->bouncing());
  EXPECT_TRUE(launches.empty());
}

// An entry too long for a log line whose image is no disk image: its installation fails and
// keeps the bundle. The next update installs (offered once meanwhile) and relaunches.
TEST_F(AppDelegateTest,
       AFailedInstallationKeepsTheBundleForTheNextUpdateThatInstallsAndRelaunches) {
  auto broken = publish("1.2.4", std::string(4096, 'x'));
  broken["notes"] = std::string(100'000, 'n');
  server.putFile(kManifestPath, nlohmann::json::array({broken}).dump());
  launch();
  waitForFirstCheck(true);
  EXPECT_TRUE(testing::waitUntil([&] {
    return status() == "Update 1.2.4 verified, ready to install";
  })) << status().toStdString();
  EXPECT_FALSE(updateButton->isEnabled()) << "the check action alone enables it";
  checkAction->trigger();
  auto logged = takeLog();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_TRUE(logged[0].starts_with("UPDATE AVAILABLE\n{\n  \"hash\": ")) << logged[0];
  EXPECT_TRUE(logged[0].ends_with(" more bytes)")) << logged[0];
  EXPECT_LE(logged[0].size(), 4096u);
  const auto before = test::snapshot(bundle);
  QTest::mouseClick(updateButton, Qt::LeftButton);
  ASSERT_TRUE(testing::waitUntil([&] { return bounceButton->isEnabled(); }));
  EXPECT_TRUE(updateButton->isEnabled());
  EXPECT_EQ(test::snapshot(bundle), before);
  EXPECT_TRUE(status().startsWith("Installation failed: ")) << status().toStdString();
  EXPECT_TRUE(status().endsWith(" Relaunch starts the old version.")) << status().toStdString();

  const auto entry = publish("1.2.5");
  Sparkler::sparkler()->setUpdateAvailable(Sparkler::sparkler()->coreCheck());
  takeLog();
  QApplication::setActiveWindow(window.get());
  QTest::keyClick(window.get(), Qt::Key_U, Qt::ControlModifier);
  EXPECT_EQ(takeLog(), std::vector<std::string>{"UPDATE AVAILABLE\n" + entry.dump(2)});
  QTest::mouseClick(updateButton, Qt::LeftButton);
  EXPECT_FALSE(updateButton->isEnabled());
  checkAction->trigger();
  EXPECT_FALSE(updateButton->isEnabled());
  ASSERT_TRUE(testing::waitUntil([&] { return !delegate->installing(); }));
  EXPECT_TRUE(updateButton->isEnabled());
  const auto expected = testing::makeAppBundle(dir.path() / "expected", "1.2.5", "new");
  EXPECT_EQ(test::snapshot(bundle / "Contents"), test::snapshot(expected / "Contents"));
  EXPECT_EQ(status(), "Update 1.2.5 installed — relaunch to finish");

  runUntilQuit([&] { QTest::mouseClick(bounceButton, Qt::LeftButton); });
  EXPECT_TRUE(delegate->bouncing());
  EXPECT_EQ(launches, std::vector<fs::path>{bundle / "Contents/Resources/Scripts/bounce.sh"});
}

TEST(AppDelegateLabel, ShowsTheVersionOrAClearTextForAnUnreadableOne) {
  testing::TempDir dir;
  QLabel label;
  for (const auto& [version, shown] :
       {std::pair{"1.2.3", "1.2.3"}, {"not a version", "Unknown version"}}) {
    Bundle::overrideMainBundlePath(testing::makeAppBundle(dir.path() / version, version));
    AppDelegate delegate("");  // no manifest: the updater stays as it is
    delegate.setLabel(&label);
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(label.text().toStdString(), shown);
  }
  Bundle::overrideMainBundlePath(std::nullopt);
}

TEST(AppDelegateLaunch, StartsTheExecutableWithNoArgumentsAndTheSameEnvironment) {
  testing::TempDir dir;
  const fs::path script = dir.path() / "report.sh";
  const fs::path report = dir.path() / "report";
  ASSERT_TRUE(testing::writeFile(
      script, "#!/bin/sh\necho \"$# $TOVE_LAUNCH_MARK $(pwd)\" > '" + report.string() + "'\n"));
  fs::permissions(script, fs::perms::owner_exec, fs::perm_options::add);
  ::setenv("TOVE_LAUNCH_MARK", "inherited", 1);
  auto pid = AppDelegate::launchDetached(script);
  ::unsetenv("TOVE_LAUNCH_MARK");
  ASSERT_TRUE(pid);
  int status = 0;
  ASSERT_EQ(::waitpid(*pid, &status, 0), *pid);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(testing::readFile(report), "0 inherited " + fs::current_path().string() + "\n");

  EXPECT_FALSE(AppDelegate::launchDetached(dir.path() / "missing.sh"));
}

}  // namespace
}  // namespace tove

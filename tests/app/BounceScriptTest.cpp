#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <QProcess>

#include "AppTestSupport.h"
#include "tove/testing/TempDir.h"

extern char** environ;

namespace tove {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A bundle whose executable stands in for Tove: its first run starts the relaunch script as
// the app does and, when asked, stays until told to quit (through a FIFO); the run the script
// starts writes how it was started into a report file and ends.
class BounceScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle = testing::makeAppBundle(dir.path(), "1.0.0");
    ASSERT_FALSE(bundle.empty());
    ASSERT_EQ(::mkfifo(quit().c_str(), 0600), 0);
    ASSERT_TRUE(testing::writeFile(bundle / "Contents/MacOS/Tove", R"(#!/bin/sh
if [ -e "$TOVE_TEST_DIR/started" ]; then
  old=$(cat "$TOVE_TEST_DIR/started")
  if kill -0 "$old" 2>/dev/null; then alive=alive; else alive=gone; fi
  sid=$(ps -o sid= -p $$ | tr -d ' ')
  [ "$sid" = "$$" ] && session=own || session=inherited
  echo "old:$alive session:$session stdin:$(readlink /proc/$$/fd/0) args:$# mark:$TOVE_TEST_MARK" \
    > "$TOVE_TEST_DIR/report.part" && mv "$TOVE_TEST_DIR/report.part" "$TOVE_TEST_DIR/report"
  exit 0
fi
echo $$ > "$TOVE_TEST_DIR/started"
"$(dirname "$0")/../Resources/Scripts/bounce.sh" &
[ "$1" = wait ] && read line < "$TOVE_TEST_DIR/quit"
exit 0
)"));
  }

  void TearDown() override {
    if (app > 0) {
      ::kill(app, SIGKILL);
      ::waitpid(app, nullptr, 0);
    }
  }

  fs::path report() const { return dir.path() / "report"; }
  fs::path quit() const { return dir.path() / "quit"; }

  void startApp(bool wait) {
    ::setenv("TOVE_TEST_DIR", dir.path().c_str(), 1);
    ::setenv("TOVE_TEST_MARK", "kept", 1);
    std::string program = (bundle / "Contents/MacOS/Tove").string();
    std::string argument = wait ? "wait" : "go";
    char* argv[] = {program.data(), argument.data(), nullptr};
    ASSERT_EQ(posix_spawn(&app, program.c_str(), nullptr, nullptr, argv, environ), 0);
    ::unsetenv("TOVE_TEST_DIR");
    ::unsetenv("TOVE_TEST_MARK");
  }

  void stopApp() {
    int status = 0;
    ASSERT_EQ(::waitpid(app, &status, 0), app);
    app = -1;
  }

  // The line the relaunched instance writes, or "" when none comes within `timeout`.
  std::string readReport(std::chrono::milliseconds timeout) {
    if (!testing::waitUntil([&] { return fs::exists(report()); }, timeout)) return "";
    return testing::readFile(report());
  }

  static std::vector<pid_t> children(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> result;
    for (pid_t child; in >> child;) result.push_back(child);
    return result;
  }
  static std::string command(pid_t pid) {
    auto name = testing::readFile("/proc/" + std::to_string(pid) + "/comm");
    return name.substr(0, name.find('\n'));
  }

  testing::TempDir dir;
  fs::path bundle;
  pid_t app = -1;
};

TEST_F(BounceScriptTest, WaitsForTheAppToEndThenStartsItDetachedWithTheSameEnvironment) {
  startApp(true);
  // The script is in its wait loop once it has a sleep of its own running.
  ASSERT_TRUE(testing::waitUntil([&] {
    for (pid_t child : children(app)) {
      if (command(child) != "bounce.sh") continue;
      for (pid_t grandchild : children(child)) {
        if (command(grandchild) == "sleep") return true;
      }
    }
    return false;
  }));
  { std::ofstream(quit()) << "quit\n"; }
  stopApp();
  EXPECT_EQ(readReport(30s), "old:gone session:own stdin:/dev/null args:0 mark:kept\n");
}

TEST_F(BounceScriptTest, AnAppThatIsAlreadyGoneIsNotWaitedFor) {
  startApp(false);
  stopApp();
  // Well below the script's 30 s bound on waiting.
  EXPECT_EQ(readReport(20s), "old:gone session:own stdin:/dev/null args:0 mark:kept\n");
}

TEST_F(BounceScriptTest, AMissingExecutableIsReported) {
  fs::remove(bundle / "Contents/MacOS/Tove");
  QProcess script;
  script.start(QString::fromStdString((bundle / "Contents/Resources/Scripts/bounce.sh").string()),
               {});
  ASSERT_TRUE(script.waitForFinished(30000));
  EXPECT_EQ(script.exitCode(), 1);
  EXPECT_NE(script.readAllStandardError().toStdString().find("cannot start"), std::string::npos);
}

}  // namespace
}  // namespace tove

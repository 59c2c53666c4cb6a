#include <gtest/gtest.h>

#include <string>

#include <QProcess>

#include "AppTestSupport.h"
#include "sparkler/testing/TempDir.h"

namespace tove {
namespace {

using namespace sparkler;
namespace testing = sparkler::testing;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The bundle's executable stands in for Tove: its first run starts the relaunch script as the
// app does and, when asked to, quits only once the script waits for it (or has already started
// it again); the run the script starts writes how it was started into a report and ends.
constexpr char kFakeApp[] = R"sh(#!/bin/sh
if [ -e "$TOVE_TEST_DIR/started" ]; then
  kill -0 "$(cat "$TOVE_TEST_DIR/started")" 2>/dev/null && old=alive || old=gone
  [ "$(ps -o sid= -p $$ | tr -d ' ')" = "$$" ] && session=own || session=inherited
  echo "old:$old session:$session stdin:$(readlink /proc/$$/fd/0) args:$# mark:$TOVE_TEST_MARK" \
    > "$TOVE_TEST_DIR/report.part" && mv "$TOVE_TEST_DIR/report.part" "$TOVE_TEST_DIR/report"
  exit 0
fi
echo $$ > "$TOVE_TEST_DIR/started"
"$(dirname "$0")/../Resources/Scripts/bounce.sh" &
[ "$1" = wait ] && until pgrep -P $! -x sleep >/dev/null || [ -e "$TOVE_TEST_DIR/report" ]; do
  sleep 0.01
done
exit 0
)sh";

// Whether the app quits while the script waits for it or before the script looked, the script
// starts it again once it is gone, detached, with no arguments and the same environment.
TEST(BounceScript, StartsTheAppAgainDetachedOnceItHasQuit) {
  for (const bool wait : {true, false}) {
    testing::TempDir dir;
    const auto bundle = testing::makeAppBundle(dir.path(), "1.0.0");
    ASSERT_TRUE(testing::writeFile(bundle / "Contents/MacOS/Tove", kFakeApp));
    ::setenv("TOVE_TEST_DIR", dir.path().c_str(), 1);
    ::setenv("TOVE_TEST_MARK", "kept", 1);
    const int status = QProcess::execute(
        QString::fromStdString((bundle / "Contents/MacOS/Tove").string()), {wait ? "wait" : "go"});
    ::unsetenv("TOVE_TEST_DIR");
    ::unsetenv("TOVE_TEST_MARK");
    ASSERT_EQ(status, 0);
    // Well below the script's 30 s bound on waiting for a process that does not quit.
    ASSERT_TRUE(testing::waitUntil([&] { return fs::exists(dir.path() / "report"); }, 20s));
    EXPECT_EQ(testing::readFile(dir.path() / "report"),
              "old:gone session:own stdin:/dev/null args:0 mark:kept\n")
        << (wait ? "waited" : "already gone");
  }
}

TEST(BounceScript, AMissingExecutableIsReported) {
  testing::TempDir dir;
  const auto bundle = testing::makeAppBundle(dir.path(), "1.0.0");
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

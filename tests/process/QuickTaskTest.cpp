#include "sparkler/QuickTask.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sparkler/testing/TempDir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using sparkler::Arguments;
using sparkler::Environment;
using sparkler::Input;
using sparkler::LaunchedFrom;
using sparkler::QuickTask;
using sparkler::Reject;
using sparkler::SearchingForPattern;

const std::string kHelper = TOVE_TEST_TASK_HELPER;

Arguments args(std::initializer_list<std::string> list) {
  return Arguments{list};
}

// The helper's output for `arguments`, untrimmed.
std::optional<std::string> helperOutput(std::initializer_list<std::string> arguments,
                                        std::optional<std::string> input = std::nullopt) {
  return input ? QuickTask::outputOfTask(kHelper, args(arguments), Input{*input}, false)
               : QuickTask::outputOfTask(kHelper, args(arguments), false);
}

std::optional<std::string> search(std::vector<std::string> arguments, const std::string& pattern,
                                  std::set<std::string> reject = {}) {
  return QuickTask::outputOfTask(kHelper, Arguments{std::move(arguments)},
                                 SearchingForPattern{pattern}, Reject{std::move(reject)});
}

int countEntries(const char* folder) {
  return static_cast<int>(std::distance(fs::directory_iterator(folder), {}));
}

// True when this process has no child at all, running or unreaped.
bool noChildren() {
  return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// Waits for a condition that background work makes true, up to a generous deadline.
bool eventually(const auto& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::multiset<std::string> lines(const std::string& text) {
  std::multiset<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.insert(line);
  return result;
}

TEST(QuickTaskStatus, ReportsExitStatusSignalsAndEveryFailureBeforeStartAsOne) {
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"exit", "255"})), 255);
  EXPECT_FALSE(QuickTask::executeTask(kHelper, args({"exit", "3"})));
  EXPECT_EQ(helperOutput({"print", "text", "3"}), std::nullopt);
  EXPECT_EQ(QuickTask::statusOfTask("/bin/sh", args({"-c", "kill -9 $$"})), 128 + SIGKILL);

  sparkler::testing::TempDir dir;
  // Nothing, a missing program, a directory, and a name that is not searched for in PATH.
  for (const std::string& task :
       {std::string(), dir.path().string() + "/absent", dir.path().string(), std::string("true")}) {
    SCOPED_TRACE(task);
    EXPECT_EQ(QuickTask::statusOfTask(task, Input{"abc"}), 1);
    EXPECT_EQ(QuickTask::outputOfTask(task), std::nullopt);
    EXPECT_EQ(QuickTask::outputOfTask(task, SearchingForPattern{"."}, Reject{}), std::nullopt);
  }
  EXPECT_FALSE(QuickTask::executeTask(kHelper, args({"exit", "0"}),
                                      LaunchedFrom{dir.path().string() + "/missing"}));
  // A search for a pattern that is empty or does not compile starts nothing; a good one does.
  const std::string started = dir.path().string() + "/started";
  for (const char* pattern : {"", "(1", "x"}) {
    EXPECT_FALSE(fs::exists(started));
    EXPECT_EQ(QuickTask::outputOfTask("/usr/bin/touch", args({started}),
                                      SearchingForPattern{pattern}, Reject{}),
              std::nullopt);
  }
  EXPECT_TRUE(fs::exists(started));
  // A NUL would cut the argument or variable short without anyone noticing.
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, Arguments{{"exit", std::string("0\0", 2)}}), 1);
  EXPECT_FALSE(QuickTask::executeTask(kHelper, args({"exit", "0"}), Environment{{{"A=B", "1"}}}));
  EXPECT_TRUE(noChildren());
}

TEST(QuickTaskEnvironment, InputSetsTheMarkerAndAGivenEnvironmentReplacesTheApplications) {
  setenv("TOVE_QUICKTASK_TEST", "a value = with signs", 1);
  setenv("QuickTask.STDIN", "NO", 1);
  auto expected = lines("");
  for (char** entry = environ; *entry != nullptr; ++entry) expected.insert(*entry);
  EXPECT_EQ(lines(*QuickTask::outputOfTask("/usr/bin/env", false)), expected);
  // A marker the application carries is replaced, never doubled.
  expected.erase("QuickTask.STDIN=NO");
  expected.insert("QuickTask.STDIN=YES");
  EXPECT_EQ(lines(*QuickTask::outputOfTask("/usr/bin/env", Input{"x"}, false)), expected);

  const Environment only{{{"ONLY", "1"}}};
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"env-count", "ONLY", "1"}), std::nullopt, only),
            1);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"env-count", "QuickTask.STDIN", "YES"}),
                                    Input{"x"}, only),
            2);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"env-count"}), std::nullopt, Environment{}), 0);
  unsetenv("TOVE_QUICKTASK_TEST");
  unsetenv("QuickTask.STDIN");

  // The working directory is the application's unless another is given, and stays its own.
  sparkler::testing::TempDir dir;
  const std::string own = fs::current_path().string();
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"cwd-is", own})));
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"cwd-is", dir.path().string()}), Input{"x"},
                                     LaunchedFrom{dir.path().string()}));
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"cwd-is", dir.path().string()}), Environment{},
                                     LaunchedFrom{dir.path().string()}));
  EXPECT_EQ(fs::current_path().string(), own);
}

TEST(QuickTaskOutput, TrimmedUnlessAskedNotToAndOnlyWhenUtf8) {
  const std::string text = "\u3000 1.2.3 \xf0\x9f\x99\x82\n\u0085";
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"print", text})), "1.2.3 \xf0\x9f\x99\x82");
  EXPECT_EQ(QuickTask::outputOfTask("/bin/cat", Input{" 1.2.3\n"}), "1.2.3");
  EXPECT_EQ(helperOutput({"print", text}), text);
  EXPECT_EQ(helperOutput({"stderr", "noise"}), "");
  EXPECT_EQ(helperOutput({"print", "1.2.3\xff\xfe"}), std::nullopt);
}

// Input is fed while output is drained, so neither side waits for the other, and a child that
// never reads its input keeps its own status and output.
TEST(QuickTaskInput, FlowsWhileOutputIsDrainedAndMayGoUnread) {
  std::string input(10 << 20, '\0');
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"exit", "5"}), Input{input}), 5);
  EXPECT_EQ(helperOutput({"print", "done"}, input), "done");
  // Still here: no SIGPIPE reached the application, and none is left blocked or pending.
  sigset_t mask;
  sigset_t pending;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&mask, SIGPIPE) == 1 || sigismember(&pending, SIGPIPE) == 1);

  EXPECT_EQ(QuickTask::outputOfTask("/bin/cat", Input{""}, false), "");
  // Writes 100 MB, which no limit cuts short, before it reads anything.
  const auto output = helperOutput({"large", "100000000", "echo"}, input);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->size(), 100000000u + input.size());
  EXPECT_EQ(output->find_first_not_of('x'), 100000000u);
  EXPECT_TRUE(output->compare(100000000, std::string::npos, input) == 0);
}

// Calls from several threads at once do not mix; no descriptor of a call leaks into another
// child, and all of them together, failed starts included, leave nothing behind.
TEST(QuickTaskResources, CallsAreIndependentAndLeaveNothingBehind) {
  // The child holds its standard streams, what this process hands every child (descriptors
  // without close-on-exec) and the one ls opens to list; nothing of the call's own.
  int inherited = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      inherited += entry->d_name[0] != '.' && fd > 2 && fd != dirfd(dir) &&
                   (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0;
    }
    closedir(dir);
  }
  const auto listing = QuickTask::outputOfTask("/bin/ls", args({"/proc/self/fd"}), Input{"x"});
  ASSERT_TRUE(listing);
  EXPECT_EQ(lines(*listing).size(), 3u + inherited + 1) << *listing;

  const int descriptors = countEntries("/proc/self/fd");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 20; ++i) {
        const std::string text = "thread " + std::to_string(t) + " run " + std::to_string(i);
        wrong += QuickTask::outputOfTask("/bin/cat", Input{text}, false) != text;
        wrong += QuickTask::statusOfTask(kHelper, args({"exit", std::to_string(t + i)})) != t + i;
        wrong += QuickTask::executeTask("/nonexistent/program", Input{"x"});
        if (i % 5 == 0) wrong += search({"print", "v " + text + "\n"}, "v (.*)") != text;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(
      eventually([&] { return noChildren() && countEntries("/proc/self/fd") == descriptors; }));
}

TEST(QuickTaskTaskInput, ReadsWhatTheStartingProgramGave) {
  EXPECT_EQ(helperOutput({"input"}, "abc"), "bytes:3:abc");
  EXPECT_EQ(helperOutput({"input-twice"}, "abc"), "bytes:0:");
  EXPECT_EQ(helperOutput({"string-input"}, ""), "nil");
  EXPECT_EQ(helperOutput({"string-input"}, "\xff\xfe"), "nil");
  const std::string big = std::string(3 << 20, 'q') + "\n";
  EXPECT_EQ(helperOutput({"string-input"}, big), "text:" + big);
  // Without the marker standard input is left unread; any value of the marker counts.
  EXPECT_EQ(
      QuickTask::outputOfTask("/bin/sh", args({"-c",
                                               "echo data | { \"$0\" input; \"$0\" string-input; "
                                               "env QuickTask.STDIN= \"$0\" input; }",
                                               kHelper})),
      "nilnilbytes:5:data");
}

// The value is the last group (or whole match) of the last accepted match in the first read
// that has one; each read (a piece below) is searched alone, `^` and `$` at its ends, a split
// character joining the later one, and the end of the output is an empty read.
TEST(QuickTaskPatternSearch, FindsTheLastAcceptedValueOfTheFirstReadThatHasOne) {
  struct Case {
    std::vector<std::string> pieces;
    std::string pattern;
    std::set<std::string> reject;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {{"tool version 1.2.3 (build 7)\n"}, "(tool) version ([0-9.]+)", {}, "1.2.3"},
      {{"tool version 1.2.3\n"}, "[0-9]+\\.[0-9]+\\.[0-9]+", {}, "1.2.3"},
      {{"v 1.2.3 v 1.2.4"}, "v ([0-9.]+)", {}, "1.2.4"},
      {{"version 1.2.3\nversion 1.2.4\n"}, "version ([0-9.]+)", {"1.2.4"}, "1.2.3"},
      // An optional last group that took no part yields no value; the next match may.
      {{"v1 vx\n"}, "v(x)?", {}, "x"},
      {{"vx v1\n"}, "v(x)?", {}, "x"},
      {{"version 1.2.3\xff\xfe"}, "version ([0-9.]+)", {}, std::nullopt},
      {{"v 1.2.3", " v 1.2.4"}, "v ([0-9.]+)", {}, "1.2.3"},
      {{"v 1.2.3", " v 1.2.4"}, "v ([0-9.]+)", {"1.2.3"}, "1.2.4"},
      {{"a 1\n", "b 2\n"}, "^b ([0-9])", {}, "2"},
      {{"caf\xc3", "\xa9 7\n"}, "^\u00e9 ([0-9])", {}, "7"},
      {{"abc", "def"}, "^$", {}, ""},
      {{"abc\xe2\x82"}, "^$", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments{"chunks"};
    arguments.insert(arguments.end(), c.pieces.begin(), c.pieces.end());
    EXPECT_EQ(search(arguments, c.pattern, c.reject), c.value)
        << c.pattern << " in " << c.pieces[0];
  }
}

// A search ends its child once a value is accepted or the output cannot be searched (not
// UTF-8, runaway backtracking), killing one that ignores SIGTERM; a bounded run kills the
// process group at its time or output limit. Neither waits for a descendant holding the
// output open, and nothing is left behind.
TEST(QuickTaskEnding, SearchesAndBoundedRunsEndTheirChildrenAndLeaveNothingBehind) {
  sparkler::testing::TempDir dir;
  const std::string folder = dir.path().string();
  // Sanitizer runtimes start a thread of their own along with the first one: count after it.
  std::thread([] {}).join();
  const int threads = countEntries("/proc/self/task");
  const int descriptors = countEntries("/proc/self/fd");
  // The process whose pid is in `file` has ended and was reaped: a child by the call that
  // started it, a descendant left to this process by the test (which kills it when asked).
  const auto reaped = [&](const std::string& file, bool kill = false) {
    pid_t pid = 0;
    std::ifstream(folder + "/" + file) >> pid;
    fs::remove(folder + "/" + file);
    if (pid > 0 && kill) ::kill(pid, SIGKILL);
    return pid > 0 && eventually([&] {
             return file == "holder" ? waitpid(pid, nullptr, WNOHANG) == pid
                                     : !fs::exists("/proc/" + std::to_string(pid));
           });
  };
  EXPECT_EQ(search({"hold", folder, "v 2.0.1", "wait"}, "v ([0-9.]+)"), "2.0.1");
  EXPECT_TRUE(reaped("pid"));
  EXPECT_EQ(search({"hold", folder, std::string(64, 'a'), "wait"}, "(a|aa)*c"), std::nullopt);
  EXPECT_TRUE(reaped("pid"));
  EXPECT_EQ(search({"hold", folder, "v 1\xff", "wait", "ignore-term"}, "v ([0-9])"), std::nullopt);
  EXPECT_TRUE(reaped("pid"));

  // Orphaned descendants come to this process, which reaps them itself.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  EXPECT_EQ(search({"hold", folder, "no value\n", "holder"}, "v ([0-9.]+)"), std::nullopt);
  EXPECT_TRUE(reaped("holder", true));
  auto result = QuickTask::run(kHelper, args({"hold", folder, "done\n", "holder"}), {});
  EXPECT_TRUE(result.succeeded());
  EXPECT_EQ(result.output, "done\n");
  EXPECT_TRUE(reaped("holder", true));

  result = QuickTask::run(kHelper, args({"hold", folder, "started", "holder", "wait"}),
                          sparkler::RunOptions{std::chrono::milliseconds(300)});
  EXPECT_TRUE(result.started && result.timedOut);
  EXPECT_EQ(result.status, 128 + SIGKILL);
  EXPECT_EQ(result.output, "started");
  EXPECT_EQ(result.failure(), "did not finish within its time limit");
  EXPECT_TRUE(reaped("holder"));
  prctl(PR_SET_CHILD_SUBREAPER, 0);

  result = QuickTask::run(kHelper, args({"large", std::to_string(3 << 20)}),
                          sparkler::RunOptions{{}, 1 << 20});
  EXPECT_TRUE(result.outputTooLong);
  EXPECT_EQ(result.output.size(), std::size_t{1} << 20);
  result = QuickTask::run(kHelper, args({"stderr", "1\n2\nthe reason\x01\n", "3"}),
                          sparkler::RunOptions{{}, 1024, 64});
  EXPECT_FALSE(result.succeeded());
  EXPECT_EQ(result.failure(), "exited with status 3: the reason ");
  EXPECT_EQ(QuickTask::run(folder + "/absent", args({}), {}).failure(), "could not be started");

  EXPECT_TRUE(eventually([&] { return countEntries("/proc/self/task") == threads; }));
  EXPECT_EQ(countEntries("/proc/self/fd"), descriptors);
  EXPECT_TRUE(noChildren());
}

// Bare braced lists and stray values that would otherwise become an Input, a LaunchedFrom or
// the trimming flag do not compile; a concept over QuickTask turns each into a false value.
#define TOVE_REJECTED(name, call) \
  template <class Q>              \
  concept name = requires {       \
    call;                         \
  };                              \
  static_assert(!name<QuickTask>)

TOVE_REJECTED(Rejected0, Q::statusOfTask("t", {"-v"}));
TOVE_REJECTED(Rejected1, Q::executeTask("t", {"-v"}, LaunchedFrom{"/"}));
TOVE_REJECTED(Rejected2, Q::outputOfTask("t", {"-v"}, true));
TOVE_REJECTED(Rejected3, Q::outputOfTask("t", "-v"));
TOVE_REJECTED(Rejected4, Q::outputOfTask("t", 1));

}  // namespace

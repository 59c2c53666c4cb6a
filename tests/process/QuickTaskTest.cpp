#include "tove/QuickTask.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using tove::Arguments;
using tove::Environment;
using tove::Input;
using tove::LaunchedFrom;
using tove::QuickTask;
using tove::Reject;
using tove::SearchingForPattern;

const std::string kHelper = TASK_HELPER;

Arguments args(std::initializer_list<std::string> list) {
  return Arguments{list};
}

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quicktask-test-XXXXXX";
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int countEntries(const char* folder) {
  int count = 0;
  if (DIR* dir = opendir(folder)) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

int openDescriptors() {
  return countEntries("/proc/self/fd");
}
int runningThreads() {
  return countEntries("/proc/self/task");
}

// True when this process has no child at all, running or unreaped.
bool noChildren() {
  return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// Waits for a condition that background work makes true, up to a generous deadline.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::set<std::string> lines(const std::string& text) {
  std::set<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.insert(line);
  return result;
}

std::set<std::string> ownEnvironment() {
  std::set<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) result.insert(*entry);
  return result;
}

bool sigpipeBlockedOrPending() {
  sigset_t mask;
  sigset_t pending;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  sigpending(&pending);
  return sigismember(&mask, SIGPIPE) == 1 || sigismember(&pending, SIGPIPE) == 1;
}

// ---- status and success ----------------------------------------------------------------

TEST(QuickTaskStatus, ReportsTheProgramsExitStatus) {
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"exit", "0"})), 0);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"exit", "3"})), 3);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"exit", "255"})), 255);
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"exit", "0"})));
  EXPECT_FALSE(QuickTask::executeTask(kHelper, args({"exit", "3"})));
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"print-exit", "text", "3"})), std::nullopt);
  EXPECT_TRUE(QuickTask::executeTask("/bin/true"));
  EXPECT_EQ(QuickTask::statusOfTask("/bin/false"), 1);
}

TEST(QuickTaskStatus, ProgramsThatCannotStartFailLikeEveryFailureBeforeStart) {
  TempDir dir;
  const std::string plainFile = dir.path() + "/not-executable";
  std::ofstream(plainFile) << "#!/bin/sh\nexit 0\n";
  const std::string missingDir = dir.path() + "/missing";
  for (const std::string& task :
       {std::string(), dir.path() + "/absent", plainFile, dir.path(), std::string("true")}) {
    SCOPED_TRACE(task);
    EXPECT_EQ(QuickTask::statusOfTask(task), 1);
    EXPECT_FALSE(QuickTask::executeTask(task));
    EXPECT_FALSE(QuickTask::executeTask(task, Input{"abc"}));
    EXPECT_EQ(QuickTask::outputOfTask(task), std::nullopt);
    EXPECT_EQ(QuickTask::outputOfTask(task, Input{"abc"}), std::nullopt);
    EXPECT_EQ(QuickTask::outputOfTask(task, SearchingForPattern{"."}, Reject{}), std::nullopt);
  }
  EXPECT_FALSE(QuickTask::executeTask(kHelper, args({"exit", "0"}), LaunchedFrom{missingDir}));
  // A NUL would cut the argument short without anyone noticing.
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, Arguments{{"exit", std::string("0\0", 2)}}), 1);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"exit", "0"}), std::nullopt,
                                    Environment{{{"A=B", "1"}}}),
            1);
  EXPECT_TRUE(noChildren());
}

TEST(QuickTaskStatus, ChildEndedBySignalReportsOneHundredTwentyEightPlusSignal) {
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"signal", "9"})), 128 + SIGKILL);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"signal", "15"})), 128 + SIGTERM);
  EXPECT_FALSE(QuickTask::executeTask(kHelper, args({"signal", "6"})));
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"signal", "15"})), std::nullopt);
}

TEST(QuickTaskStatus, StartsInTheGivenDirectoryOrTheApplications) {
  TempDir dir;
  const std::string own = fs::current_path().string();
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"cwd"})), own);
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"cwd-is", own})));
  EXPECT_TRUE(
      QuickTask::executeTask(kHelper, args({"cwd-is", dir.path()}), LaunchedFrom{dir.path()}));
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"cwd-is", dir.path()}), Input{"x"},
                                     LaunchedFrom{dir.path()}));
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"cwd-is", dir.path()}), std::nullopt,
                                    std::nullopt, LaunchedFrom{dir.path()}),
            0);
  EXPECT_EQ(fs::current_path().string(), own);
}

// ---- environment and the input marker ------------------------------------------------

class QuickTaskEnvironment : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TOVE_QUICKTASK_TEST", "a value = with signs", 1); }
  void TearDown() override {
    unsetenv("TOVE_QUICKTASK_TEST");
    unsetenv("QuickTask.STDIN");
  }
};

TEST_F(QuickTaskEnvironment, InputAddsTheMarkerBesideTheApplicationsVariables) {
  auto expected = ownEnvironment();
  EXPECT_EQ(lines(*QuickTask::outputOfTask(kHelper, args({"environ"}), false)), expected);
  expected.insert("QuickTask.STDIN=YES");
  EXPECT_EQ(lines(*QuickTask::outputOfTask(kHelper, args({"environ"}), Input{""}, false)),
            expected);

  // A marker the application carries is replaced, never doubled.
  setenv("QuickTask.STDIN", "NO", 1);
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"env", "QuickTask.STDIN"}), Input{"abc"}),
            "YES");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"env", "QuickTask.STDIN"})), "NO");
}

TEST_F(QuickTaskEnvironment, AGivenEnvironmentReplacesTheApplicationsOne) {
  const Environment only{{{"ONLY", "1"}}};
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"env", "ONLY"}), only));
  EXPECT_FALSE(QuickTask::executeTask(kHelper, args({"env", "TOVE_QUICKTASK_TEST"}), only));
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"env-count", "ONLY", "1"}), std::nullopt, only),
            1);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"env-count", "QuickTask.STDIN", "YES"}),
                                    Input{"x"}, only),
            2);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"env-count"}), std::nullopt, Environment{}), 0);
  TempDir dir;
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"cwd-is", dir.path()}), only,
                                     LaunchedFrom{dir.path()}));
}

// ---- input and output ------------------------------------------------------------------

TEST(QuickTaskOutput, ReturnsTheOutputTrimmedUnlessAskedNotTo) {
  const auto print = [](const std::string& text, std::optional<bool> trimmed) {
    return trimmed ? QuickTask::outputOfTask(kHelper, args({"print", text}), *trimmed)
                   : QuickTask::outputOfTask(kHelper, args({"print", text}));
  };
  EXPECT_EQ(print("  1.2.3\n", std::nullopt), "1.2.3");
  EXPECT_EQ(print("  1.2.3\n", true), "1.2.3");
  EXPECT_EQ(print("  1.2.3\n", false), "  1.2.3\n");
  EXPECT_EQ(print("\r\n a \t b \n\n", true), "a \t b");
  EXPECT_EQ(print("\u3000\u00a0\u2029x\u2028\u0085\u2003", true), "x");
  EXPECT_EQ(print(" \n ", true), "");
  EXPECT_EQ(print("", std::nullopt), "");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"stderr", "noise"}), false), "");
}

TEST(QuickTaskOutput, OutputThatIsNotUtf8GivesNothing) {
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"not-utf8", "1.2.3"})), std::nullopt);
  for (const char* bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "ok\xe2\x82"}) {
    EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"print", bad}), false), std::nullopt) << bad;
  }
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"print", "\xf0\x9f\x99\x82"}), false),
            "\xf0\x9f\x99\x82");
}

TEST(QuickTaskInput, GivesTheInputThenEndOfFile) {
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"echo"}), Input{"abc"}, false), "abc");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"echo"}), Input{""}), "");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"echo"}), Input{" 1.2.3\n"}), "1.2.3");
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"echo"}), Input{"abc"}));
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"exit", "0"}), Input{"abc"}), 0);
}

TEST(QuickTaskInput, ChildThatNeverReadsItsInputKeepsItsOwnStatus) {
  const std::string big(10 << 20, 'i');
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"exit", "5"}), Input{big}), 5);
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"print", "done"}), Input{big}), "done");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"large", "300000"}), Input{big})->size(),
            300000u);
  // Still here: no SIGPIPE reached the application, and none is left blocked or pending.
  EXPECT_FALSE(sigpipeBlockedOrPending());
}

TEST(QuickTaskInput, LargeInputAndOutputFlowAtOnce) {
  std::string input(10 << 20, '\0');
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"echo"}), Input{input}, false), input);
  // Writes 10 MB before it reads anything.
  const auto output =
      QuickTask::outputOfTask(kHelper, args({"large-then-echo", "10485760"}), Input{input}, false);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->size(), 20u << 20);
  EXPECT_EQ(output->find_first_not_of('y'), 10u << 20);
  EXPECT_TRUE(output->compare(10 << 20, std::string::npos, input) == 0);
}

TEST(QuickTaskOutput, HoldsAHundredMegabytes) {
  const auto output = QuickTask::outputOfTask(kHelper, args({"large", "100000000"}), false);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->size(), 100000000u);
  EXPECT_EQ(output->find_first_not_of('x'), std::string::npos);
}

// ---- resources and threads -------------------------------------------------------------

TEST(QuickTaskResources, AThousandRunsLeaveNoDescriptorOrChildBehind) {
  const int descriptors = openDescriptors();
  for (int i = 0; i < 1000; ++i) {
    switch (i % 4) {
      case 0:
        ASSERT_EQ(QuickTask::statusOfTask("/bin/true"), 0);
        break;
      case 1:
        ASSERT_EQ(QuickTask::outputOfTask("/bin/echo", args({"run", std::to_string(i)})),
                  "run " + std::to_string(i));
        break;
      case 2:
        ASSERT_EQ(QuickTask::outputOfTask("/bin/cat", Input{std::to_string(i)}), std::to_string(i));
        break;
      default:
        ASSERT_FALSE(QuickTask::executeTask("/nonexistent/program", Input{"x"}));
    }
  }
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_TRUE(noChildren());
}

TEST(QuickTaskResources, DescriptorsDoNotLeakIntoOtherChildren) {
  // The child lists its own descriptors: those this process hands every child (its standard
  // streams and whatever it was given without close-on-exec) and the one ls opens to list.
  std::set<std::string> inherited;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      if (entry->d_name[0] != '.' && fd != dirfd(dir) && (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0)
        inherited.insert(entry->d_name);
    }
    closedir(dir);
  }
  inherited.insert({"0", "1", "2"});
  const auto listing = QuickTask::outputOfTask("/bin/ls", args({"/proc/self/fd"}), Input{"x"});
  ASSERT_TRUE(listing);
  std::set<std::string> extra;
  for (const auto& fd : lines(*listing))
    if (inherited.count(fd) == 0) extra.insert(fd);
  EXPECT_EQ(extra.size(), 1u) << *listing;
}

TEST(QuickTaskConcurrency, CallsFromSeveralThreadsAreIndependent) {
  const int descriptors = openDescriptors();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 20; ++i) {
        const std::string text = "thread " + std::to_string(t) + " run " + std::to_string(i);
        if (QuickTask::outputOfTask("/bin/cat", Input{text}, false) != text) ++wrong;
        if (QuickTask::statusOfTask(kHelper, args({"exit", std::to_string(t + i)})) != t + i)
          ++wrong;
        if (i % 5 == 0 && QuickTask::outputOfTask(kHelper, args({"pieces", "v ", text + "\n"}),
                                                  SearchingForPattern{"v (.*)"}, Reject{}) != text)
          ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(eventually([&] { return noChildren() && openDescriptors() == descriptors; }));
}

// ---- the receiving side of input -------------------------------------------------------

TEST(QuickTaskTaskInput, ReadsWhatTheStartingProgramGave) {
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"input"}), Input{"abc"}), "bytes:3:616263");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"input"}), Input{""}), "bytes:0:");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"input"}), Input{"\xff\xfe"}), "bytes:2:fffe");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"input"})), "nil");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"input-twice"}), Input{"abc"}), "bytes:0:");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"string-input"}), Input{"1.2.3\n"}, false),
            "text:1.2.3\n");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"string-input"}), Input{""}), "nil");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"string-input"}), Input{"\xff\xfe"}), "nil");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"string-input"})), "nil");
  const std::string big(3 << 20, 'q');
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"string-input"}), Input{big}, false),
            "text:" + big);
}

TEST(QuickTaskTaskInput, WithoutTheMarkerStandardInputIsLeftUnread) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const int savedInput = dup(STDIN_FILENO);
  ASSERT_EQ(dup2(ends[0], STDIN_FILENO), STDIN_FILENO);
  close(ends[0]);
  ASSERT_EQ(write(ends[1], "data", 4), 4);
  close(ends[1]);

  unsetenv("QuickTask.STDIN");
  EXPECT_EQ(QuickTask::input(), std::nullopt);
  EXPECT_EQ(QuickTask::stringInput(), std::nullopt);
  setenv("QuickTask.STDIN", "", 1);  // any value counts, the empty one too
  EXPECT_EQ(QuickTask::input(), "data");
  EXPECT_EQ(QuickTask::input(), "");
  EXPECT_EQ(QuickTask::stringInput(), std::nullopt);
  unsetenv("QuickTask.STDIN");

  dup2(savedInput, STDIN_FILENO);
  close(savedInput);
}

// ---- watching the output for a pattern -------------------------------------------------

TEST(QuickTaskPatternSearch, BadArgumentsReturnNothingAndStartNothing) {
  TempDir dir;
  const std::string started = dir.path() + "/started";
  const Arguments touch = args({"touch", started});
  EXPECT_EQ(QuickTask::outputOfTask("", touch, SearchingForPattern{"x"}, Reject{}), std::nullopt);
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, touch, SearchingForPattern{""}, Reject{}),
            std::nullopt);
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, touch, SearchingForPattern{"(1"}, Reject{}),
            std::nullopt);
  EXPECT_FALSE(fs::exists(started));
  // The same call with a good pattern does start it (and finds nothing in its silence).
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, touch, SearchingForPattern{"x"}, Reject{}),
            std::nullopt);
  EXPECT_TRUE(fs::exists(started));
}

TEST(QuickTaskPatternSearch, ReturnsTheLastGroupOrTheWholeMatch) {
  const auto search = [](const std::string& printed, const std::string& pattern,
                         std::set<std::string> reject = {}) {
    return QuickTask::outputOfTask(kHelper, args({"print", printed}), SearchingForPattern{pattern},
                                   Reject{std::move(reject)});
  };
  EXPECT_EQ(search("tool version 1.2.3 (build 7)\n", "version ([0-9.]+)"), "1.2.3");
  EXPECT_EQ(search("tool version 1.2.3 (build 7)\n", "(tool) version ([0-9.]+)"), "1.2.3");
  EXPECT_EQ(search("tool version 1.2.3\n", "[0-9]+\\.[0-9]+\\.[0-9]+"), "1.2.3");
  EXPECT_EQ(search("version 1.2.3\nversion 1.2.4\n", "version ([0-9.]+)", {"1.2.3"}), "1.2.4");
  EXPECT_EQ(search("version 1.2.3 version 1.2.4\n", "version ([0-9.]+)"), "1.2.4");
  EXPECT_EQ(search("version 1.2.3 version 1.2.4\n", "version ([0-9.]+)", {"1.2.3", "1.2.4"}),
            std::nullopt);
  // An optional last group that did not take part yields no value; the next match does.
  EXPECT_EQ(search("v1 vx\n", "v(x)?"), "x");
  EXPECT_EQ(search("nothing to see\n", "version ([0-9.]+)"), std::nullopt);
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"not-utf8", "version 1.2.3"}),
                                    SearchingForPattern{"version ([0-9.]+)"}, Reject{}),
            std::nullopt);
  // A value at the very end of the output, with no line break after it.
  EXPECT_EQ(search("version 9.8.7", "version ([0-9.]+)"), "9.8.7");
}

TEST(QuickTaskPatternSearch, JoinsAValueAndItsTextSplitAcrossWrites) {
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"pieces", "tool version 1.", "2", ".3\n"}),
                                    SearchingForPattern{"version ([0-9.]+)"}, Reject{}),
            "1.2.3");
  // "é" arrives as two bytes in two writes.
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"pieces", "caf\xc3", "\xa9 7\n"}),
                                    SearchingForPattern{"\u00e9 ([0-9])"}, Reject{}),
            "7");
}

TEST(QuickTaskPatternSearch, ReturnsWithoutWaitingThenEndsAndReapsTheChild) {
  TempDir dir;
  // Sanitizer runtimes start a thread of their own along with the first one: count after it.
  std::thread([] {}).join();
  const int threads = runningThreads();
  const int descriptors = openDescriptors();
  const auto value = QuickTask::outputOfTask(kHelper, args({"print-wait", dir.path(), "v 2.0.1\n"}),
                                             SearchingForPattern{"v ([0-9.]+)"}, Reject{});
  EXPECT_EQ(value, "2.0.1");
  std::string pid;
  std::ifstream(dir.path() + "/pid") >> pid;
  ASSERT_FALSE(pid.empty());
  EXPECT_TRUE(eventually([&] { return fs::exists(dir.path() + "/terminated"); }));
  EXPECT_TRUE(eventually([&] { return !fs::exists("/proc/" + pid); }));
  EXPECT_TRUE(eventually([&] { return runningThreads() == threads; }));
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_TRUE(noChildren());
}

TEST(QuickTaskPatternSearch, AValueAtTheEndOfOutputIsTakenWhileTheChildRuns) {
  TempDir dir;
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"print-wait", dir.path(), "v 3.1"}),
                                    SearchingForPattern{"v ([0-9.]+)"}, Reject{}),
            "3.1");
  EXPECT_TRUE(eventually([&] { return noChildren(); }));
}

TEST(QuickTaskPatternSearch, EndsWhenTheChildEndsEvenIfADescendantHoldsItsOutput) {
  TempDir dir;
  // The orphaned descendant comes to this process, which then reaps it itself.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"leave-holder", dir.path(), "no value\n"}),
                                    SearchingForPattern{"v ([0-9.]+)"}, Reject{}),
            std::nullopt);
  pid_t holder = 0;
  std::ifstream(dir.path() + "/holder") >> holder;
  ASSERT_GT(holder, 0);
  kill(holder, SIGKILL);
  EXPECT_TRUE(eventually([&] { return waitpid(holder, nullptr, WNOHANG) == holder; }));
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_TRUE(eventually([&] { return noChildren(); }));
}

}  // namespace

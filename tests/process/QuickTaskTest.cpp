#include "tove/QuickTask.h"

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

#include "tove/testing/TempDir.h"

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

// The helper's output for `arguments`, untrimmed.
std::optional<std::string> helperOutput(std::initializer_list<std::string> arguments,
                                        std::optional<std::string> input = std::nullopt) {
  return input ? QuickTask::outputOfTask(kHelper, args(arguments), Input{*input}, false)
               : QuickTask::outputOfTask(kHelper, args(arguments), false);
}

std::optional<std::string> search(std::initializer_list<std::string> arguments,
                                  const std::string& pattern, std::set<std::string> reject = {}) {
  return QuickTask::outputOfTask(kHelper, args(arguments), SearchingForPattern{pattern},
                                 Reject{std::move(reject)});
}

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

TEST(QuickTaskStatus, ReportsExitStatusAndSignalsAsOneHundredTwentyEightPlusSignal) {
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"exit", "3"})), 3);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"exit", "255"})), 255);
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"exit", "0"})));
  EXPECT_FALSE(QuickTask::executeTask(kHelper, args({"exit", "3"})));
  EXPECT_EQ(helperOutput({"print-exit", "text", "3"}), std::nullopt);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"signal", "9"})), 128 + SIGKILL);
  EXPECT_FALSE(QuickTask::executeTask(kHelper, args({"signal", "6"})));
  EXPECT_EQ(helperOutput({"signal", "15"}), std::nullopt);
}

TEST(QuickTaskStatus, ProgramsThatCannotStartFailLikeEveryFailureBeforeStart) {
  tove::testing::TempDir dir;
  const std::string plainFile = dir.path().string() + "/not-executable";
  std::ofstream(plainFile) << "#!/bin/sh\nexit 0\n";
  for (const std::string& task : {std::string(), dir.path().string() + "/absent", plainFile,
                                  dir.path().string(), std::string("true")}) {
    SCOPED_TRACE(task);
    EXPECT_EQ(QuickTask::statusOfTask(task), 1);
    EXPECT_FALSE(QuickTask::executeTask(task, Input{"abc"}));
    EXPECT_EQ(QuickTask::outputOfTask(task), std::nullopt);
    EXPECT_EQ(QuickTask::outputOfTask(task, Input{"abc"}), std::nullopt);
    EXPECT_EQ(QuickTask::outputOfTask(task, SearchingForPattern{"."}, Reject{}), std::nullopt);
  }
  EXPECT_FALSE(QuickTask::executeTask(kHelper, args({"exit", "0"}),
                                      LaunchedFrom{dir.path().string() + "/missing"}));
  // A NUL would cut the argument or variable short without anyone noticing.
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, Arguments{{"exit", std::string("0\0", 2)}}), 1);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"exit", "0"}), std::nullopt,
                                    Environment{{{"A=B", "1"}}}),
            1);
  EXPECT_TRUE(noChildren());
}

TEST(QuickTaskEnvironment, InputSetsTheMarkerAndAGivenEnvironmentReplacesTheApplications) {
  setenv("TOVE_QUICKTASK_TEST", "a value = with signs", 1);
  setenv("QuickTask.STDIN", "NO", 1);
  auto expected = lines("");
  for (char** entry = environ; *entry != nullptr; ++entry) expected.insert(*entry);
  EXPECT_EQ(lines(*helperOutput({"environ"})), expected);
  // A marker the application carries is replaced, never doubled.
  expected.erase("QuickTask.STDIN=NO");
  expected.insert("QuickTask.STDIN=YES");
  EXPECT_EQ(lines(*helperOutput({"environ"}, "")), expected);

  const Environment only{{{"ONLY", "1"}}};
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"env-count", "ONLY", "1"}), std::nullopt, only),
            1);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"env-count", "QuickTask.STDIN", "YES"}),
                                    Input{"x"}, only),
            2);
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"env-count"}), std::nullopt, Environment{}), 0);
  unsetenv("TOVE_QUICKTASK_TEST");
  unsetenv("QuickTask.STDIN");
}

TEST(QuickTaskStatus, StartsInTheGivenDirectoryOrTheApplications) {
  tove::testing::TempDir dir;
  const std::string own = fs::current_path().string();
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"cwd-is", own})));
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"cwd-is", dir.path().string()}), Input{"x"},
                                     LaunchedFrom{dir.path().string()}));
  EXPECT_TRUE(QuickTask::executeTask(kHelper, args({"cwd-is", dir.path().string()}), Environment{},
                                     LaunchedFrom{dir.path().string()}));
  EXPECT_EQ(fs::current_path().string(), own);
}

TEST(QuickTaskOutput, TrimmedUnlessAskedNotToAndOnlyWhenUtf8) {
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"print", "  1.2.3\n"})), "1.2.3");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"echo"}), Input{" 1.2.3\n"}), "1.2.3");
  EXPECT_EQ(helperOutput({"print", "  1.2.3\n"}), "  1.2.3\n");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"print", "\r\n a \t b \n\n"}), true), "a \t b");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"print", "\u3000\u00a0\u2029x\u2028\u0085"})),
            "x");
  EXPECT_EQ(QuickTask::outputOfTask(kHelper, args({"print", " \n "})), "");
  EXPECT_EQ(helperOutput({"stderr", "noise"}), "");
  for (const char* bad :
       {"1.2.3\xff\xfe", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "ok\xe2\x82"})
    EXPECT_EQ(helperOutput({"print", bad}), std::nullopt) << bad;
  EXPECT_EQ(helperOutput({"print", "\xf0\x9f\x99\x82"}), "\xf0\x9f\x99\x82");
}

TEST(QuickTaskInput, ChildThatNeverReadsItsInputKeepsItsOwnStatus) {
  const std::string big(10 << 20, 'i');
  EXPECT_EQ(QuickTask::statusOfTask(kHelper, args({"exit", "5"}), Input{big}), 5);
  EXPECT_EQ(helperOutput({"print", "done"}, big), "done");
  EXPECT_EQ(helperOutput({"large", "300000"}, big)->size(), 300000u);
  // Still here: no SIGPIPE reached the application, and none is left blocked or pending.
  sigset_t mask;
  sigset_t pending;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&mask, SIGPIPE) == 1 || sigismember(&pending, SIGPIPE) == 1);
}

TEST(QuickTaskInput, TenMegabytesInAndOutFlowAtOnce) {
  std::string input(10 << 20, '\0');
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(helperOutput({"echo"}, input), input);
  EXPECT_EQ(helperOutput({"echo"}, ""), "");
  // Writes 10 MB before it reads anything.
  const auto output = helperOutput({"large", "10485760", "echo"}, input);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->size(), 20u << 20);
  EXPECT_EQ(output->find_first_not_of('x'), 10u << 20);
  EXPECT_TRUE(output->compare(10 << 20, std::string::npos, input) == 0);
}

TEST(QuickTaskOutput, HoldsAHundredMegabytes) {
  const auto output = helperOutput({"large", "100000000"});
  ASSERT_TRUE(output);
  EXPECT_EQ(output->size(), 100000000u);
  EXPECT_EQ(output->find_first_not_of('x'), std::string::npos);
}

TEST(QuickTaskResources, AThousandRunsLeaveNoDescriptorOrChildBehind) {
  const int descriptors = openDescriptors();
  for (int i = 0; i < 1000; ++i) {
    const std::string n = std::to_string(i);
    ASSERT_TRUE(i % 3 == 0   ? QuickTask::statusOfTask("/bin/true") == 0
                : i % 3 == 1 ? QuickTask::outputOfTask("/bin/cat", Input{n}) == n
                             : !QuickTask::executeTask("/nonexistent/program", Input{"x"}))
        << i;
  }
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_TRUE(noChildren());
}

TEST(QuickTaskResources, DescriptorsDoNotLeakIntoOtherChildren) {
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
        if (i % 5 == 0 && search({"print", "v " + text + "\n"}, "v (.*)") != text) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(eventually([&] { return noChildren() && openDescriptors() == descriptors; }));
}

TEST(QuickTaskTaskInput, ReadsWhatTheStartingProgramGave) {
  EXPECT_EQ(helperOutput({"input"}, "abc"), "bytes:3:abc");
  EXPECT_EQ(helperOutput({"input"}), "nil");
  EXPECT_EQ(helperOutput({"input-twice"}, "abc"), "bytes:0:");
  EXPECT_EQ(helperOutput({"input"}, ""), "bytes:0:");
  EXPECT_EQ(helperOutput({"string-input"}, "1.2.3\n"), "text:1.2.3\n");
  EXPECT_EQ(helperOutput({"string-input"}, ""), "nil");
  EXPECT_EQ(helperOutput({"string-input"}, "\xff\xfe"), "nil");
  const std::string big(3 << 20, 'q');
  EXPECT_EQ(helperOutput({"string-input"}, big), "text:" + big);
  // Without the marker standard input is left unread; any value of the marker counts.
  EXPECT_EQ(
      QuickTask::outputOfTask("/bin/sh", args({"-c",
                                               "echo data | { \"$0\" input; \"$0\" string-input; "
                                               "env QuickTask.STDIN= \"$0\" input; }",
                                               kHelper})),
      "nilnilbytes:5:data");
}

TEST(QuickTaskPatternSearch, BadArgumentsReturnNothingAndStartNothing) {
  tove::testing::TempDir dir;
  const std::string started = dir.path().string() + "/started";
  EXPECT_EQ(
      QuickTask::outputOfTask("", args({"touch", started}), SearchingForPattern{"x"}, Reject{}),
      std::nullopt);
  EXPECT_EQ(search({"touch", started}, ""), std::nullopt);
  EXPECT_EQ(search({"touch", started}, "(1"), std::nullopt);
  EXPECT_FALSE(fs::exists(started));
  // The same call with a good pattern does start it (and finds nothing in its silence).
  EXPECT_EQ(search({"touch", started}, "x"), std::nullopt);
  EXPECT_TRUE(fs::exists(started));
}

TEST(QuickTaskPatternSearch, ReturnsTheLastGroupOrTheWholeMatch) {
  EXPECT_EQ(search({"print", "tool version 1.2.3 (build 7)\n"}, "(tool) version ([0-9.]+)"),
            "1.2.3");
  EXPECT_EQ(search({"print", "tool version 1.2.3\n"}, "[0-9]+\\.[0-9]+\\.[0-9]+"), "1.2.3");
  // Within one chunk the last accepted match wins; rejected ones are passed over.
  EXPECT_EQ(search({"print", "v 1.2.3 v 1.2.4"}, "v ([0-9.]+)"), "1.2.4");
  EXPECT_EQ(search({"print", "version 1.2.3\nversion 1.2.4\n"}, "version ([0-9.]+)", {"1.2.4"}),
            "1.2.3");
  EXPECT_EQ(search({"print", "v 1.2.3 v 1.2.4\n"}, "v ([0-9.]+)", {"1.2.3", "1.2.4"}),
            std::nullopt);
  // An optional last group that did not take part yields no value; the next match does.
  EXPECT_EQ(search({"print", "v1 vx\n"}, "v(x)?"), "x");
  EXPECT_EQ(search({"print", "vx v1\n"}, "v(x)?"), "x");
  EXPECT_EQ(search({"print", "version 1.2.3\xff\xfe"}, "version ([0-9.]+)"), std::nullopt);
}

// Each read is searched by itself, `^` and `$` at its ends, and the first one with an
// accepted value decides. The helper writes each piece only once the one before was read.
TEST(QuickTaskPatternSearch, SearchesEachReadOnItsOwn) {
  const auto chunks = [](std::initializer_list<std::string> pieces, const std::string& pattern,
                         std::set<std::string> reject = {}) {
    std::vector<std::string> arguments{"chunks"};
    arguments.insert(arguments.end(), pieces);
    return QuickTask::outputOfTask(kHelper, Arguments{arguments}, SearchingForPattern{pattern},
                                   Reject{std::move(reject)});
  };
  // A value at the end of a read is taken at once, whatever follows later.
  EXPECT_EQ(chunks({"version 1.2.3\n", "more output\n"}, "([0-9.]+)$"), "1.2.3");
  EXPECT_EQ(chunks({"progress 10%\n", "progress 20%\n", "progress 30%\n"}, "([0-9]+)%$"), "10");
  EXPECT_EQ(chunks({"v 1.2.3", " v 1.2.4"}, "v ([0-9.]+)"), "1.2.3");
  EXPECT_EQ(chunks({"v 1.2.3", " v 1.2.4"}, "v ([0-9.]+)", {"1.2.3"}), "1.2.4");
  EXPECT_EQ(chunks({"a 1\n", "b 2\n"}, "^b ([0-9])"), "2");
  // A match across two reads is not found, nor is a whole one cut short.
  EXPECT_EQ(chunks({"tool ver", "sion 1.2.3\n"}, "version ([0-9.]+)"), std::nullopt);
  EXPECT_EQ(chunks({"tool version 1.", "2.3\n"}, "version ([0-9.]+)"), "1.");
  // Only a character split between two reads is joined, into the later one.
  EXPECT_EQ(chunks({"caf\xc3", "\xa9 7\n"}, "^\u00e9 ([0-9])"), "7");
  // The end of the output is an empty chunk of its own.
  EXPECT_EQ(chunks({"abc", "def"}, "^$"), "");
  EXPECT_EQ(search({"exit", "0"}, "(x?)"), "");
  EXPECT_EQ(search({"print", "abc"}, "^$", {""}), std::nullopt);
  EXPECT_EQ(search({"print", "abc\xe2\x82"}, "^$"), std::nullopt);
  EXPECT_EQ(search({"print", "version 9.8.7"}, "version ([0-9.]+)$"), "9.8.7");
}

TEST(QuickTaskPatternSearch, EndsWhenTheChildEndsEvenIfADescendantHoldsItsOutput) {
  tove::testing::TempDir dir;
  // The orphaned descendant comes to this process, which then reaps it itself.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  EXPECT_EQ(search({"leave-holder", dir.path().string(), "no value\n"}, "v ([0-9.]+)"),
            std::nullopt);
  pid_t holder = 0;
  std::ifstream(dir.path().string() + "/holder") >> holder;
  ASSERT_GT(holder, 0);
  kill(holder, SIGKILL);
  EXPECT_TRUE(eventually([&] { return waitpid(holder, nullptr, WNOHANG) == holder; }));
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_TRUE(eventually([&] { return noChildren(); }));
}

// The call returns as soon as a value is accepted, without waiting for the child. The child
// is asked to end then, and also when its output cannot be searched (text that is not UTF-8,
// or a chunk that drives the pattern into runaway backtracking); one that ignores that is
// killed after a grace period instead of holding up the caller. Nothing is left behind.
TEST(QuickTaskPatternSearch, EndsAndReapsTheChildOnceItHasAValueOrCannotGiveOne) {
  tove::testing::TempDir dir;
  const std::string folder = dir.path().string();
  // Sanitizer runtimes start a thread of their own along with the first one: count after it.
  std::thread([] {}).join();
  const int threads = countEntries("/proc/self/task");
  const int descriptors = openDescriptors();
  const auto gone = [&] {
    std::string pid;
    std::ifstream(folder + "/pid") >> pid;
    fs::remove(folder + "/pid");
    return !pid.empty() && eventually([&] { return !fs::exists("/proc/" + pid); });
  };
  EXPECT_EQ(search({"print-wait", folder, "v 2.0.1"}, "v ([0-9.]+)"), "2.0.1");
  EXPECT_TRUE(gone());
  EXPECT_EQ(search({"print-wait", folder, std::string(64, 'a')}, "(a|aa)*c"), std::nullopt);
  EXPECT_TRUE(gone());
  EXPECT_EQ(search({"print-wait", folder, "v 1\xff", "ignore-term"}, "v ([0-9])"), std::nullopt);
  EXPECT_TRUE(gone());
  EXPECT_TRUE(eventually([&] { return countEntries("/proc/self/task") == threads; }));
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_TRUE(noChildren());
}

// A bounded run keeps within its limits: the whole process group goes at the time limit,
// output beyond its cap ends the run, the end of standard error explains a failure, and a
// descendant holding the output open does not hold up the caller.
TEST(QuickTaskRun, KeepsWithinItsLimitsAndSaysWhyItFailed) {
  tove::testing::TempDir dir;
  const std::string folder = dir.path().string();
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const auto holder = [&] {
    pid_t pid = 0;
    std::ifstream(folder + "/holder") >> pid;
    fs::remove(folder + "/holder");
    return pid;
  };

  auto result = QuickTask::run(kHelper, args({"hold-and-wait", folder, "started"}),
                               tove::RunOptions{std::chrono::milliseconds(300)});
  EXPECT_TRUE(result.started);
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.status, 128 + SIGKILL);
  EXPECT_EQ(result.output, "started");
  EXPECT_EQ(result.failure(), "did not finish within its time limit");
  const pid_t grandchild = holder();
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(eventually([&] { return waitpid(grandchild, nullptr, WNOHANG) == grandchild; }));

  result = QuickTask::run(kHelper, args({"large", std::to_string(3 << 20)}),
                          tove::RunOptions{{}, 1 << 20});
  EXPECT_TRUE(result.outputTooLong);
  EXPECT_EQ(result.output.size(), std::size_t{1} << 20);

  result = QuickTask::run(kHelper, args({"stderr", "first\nthe reason\x01\n", "3"}),
                          tove::RunOptions{{}, 1024, 64});
  EXPECT_FALSE(result.succeeded());
  EXPECT_EQ(result.failure(), "exited with status 3: the reason ");
  EXPECT_EQ(QuickTask::run(folder + "/absent", args({}), {}).failure(), "could not be started");

  result = QuickTask::run(kHelper, args({"leave-holder", folder, "done\n"}), {});
  EXPECT_TRUE(result.succeeded());
  EXPECT_EQ(result.output, "done\n");
  const pid_t leftHolder = holder();
  ASSERT_GT(leftHolder, 0);
  kill(leftHolder, SIGKILL);
  EXPECT_TRUE(eventually([&] { return waitpid(leftHolder, nullptr, WNOHANG) == leftHolder; }));
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_TRUE(noChildren());
}

// Bare braced lists and stray values that would otherwise become an Input, a LaunchedFrom or
// the trimming flag do not compile. Each form is checked through a concept over QuickTask so
// that a form that does not compile makes the concept false instead of stopping the build.
#define TOVE_REJECTED(name, call) \
  template <class Q>              \
  concept name = requires {       \
    call;                         \
  };                              \
  static_assert(!name<QuickTask>)

// The same machinery accepts the named forms, so the checks below fail for the right reason.
template <class Q>
concept Accepted = requires {
  Q::statusOfTask("t", Arguments{{"-v"}});
  Q::executeTask("t", Arguments{{"-v"}}, LaunchedFrom{"/"});
  Q::outputOfTask("t", Input{"x"}, true);
  Q::outputOfTask("t", std::declval<const Arguments&>(), std::declval<bool&>());
  Q::executeTask("t", std::declval<Arguments&>(), std::declval<Environment&>());
  Q::outputOfTask("t", SearchingForPattern{"x"}, Reject{{"1"}});
};
static_assert(Accepted<QuickTask>);

TOVE_REJECTED(Rejected0, Q::statusOfTask("t", {"-v"}));
TOVE_REJECTED(Rejected1, Q::statusOfTask("t", {}));
TOVE_REJECTED(Rejected2, Q::executeTask("t", {"/tmp"}));
TOVE_REJECTED(Rejected3, Q::executeTask("t", {"-v"}, LaunchedFrom{"/"}));
TOVE_REJECTED(Rejected4, Q::executeTask("t", Arguments{}, {"x"}));
TOVE_REJECTED(Rejected5, Q::outputOfTask("t", {"-v"}, true));
TOVE_REJECTED(Rejected6, Q::outputOfTask("t", "-v"));
TOVE_REJECTED(Rejected7, Q::outputOfTask("t", 1));
TOVE_REJECTED(Rejected8, Q::outputOfTask("t", "x", Reject{}));

}  // namespace

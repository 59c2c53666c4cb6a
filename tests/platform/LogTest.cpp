#include "sparkler/Log.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace sparkler {
namespace {

TEST(Log, WritesEveryLineWholeToStandardErrorFromManyThreads) {
  testing::internal::CaptureStderr();
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([] {
        for (int i = 0; i < 50; ++i) Log::line("line " + std::to_string(i));
      });
    }
  }
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(text, std::regex("(line [0-9]+\n){200}"))) << text;
}

TEST(Log, HandsTheWholeTextToASinkThatMayLogInTurn) {
  std::vector<std::string> lines;
  Log::setSink([&](std::string_view line) {
    lines.emplace_back(line);
    if (lines.size() == 1) Log::line("again");
  });
  Log::line("UPDATE AVAILABLE\n1.0.1");
  Log::setSink({});
  Log::line("not seen by the removed sink");
  EXPECT_EQ(lines, (std::vector<std::string>{"UPDATE AVAILABLE\n1.0.1", "again"}));
}

// In a child of its own, with a /dev/log of the test's own in a private mount namespace (root
// only): the system log gets each line whole under the identity and with its severity, and
// standard error gets every line but those written while it is the journal itself.
TEST(Log, SyslogHasTheIdentityAndSeverityAndAJournalOnStandardErrorHearsEachLineOnce) {
  if (::geteuid() != 0) GTEST_SKIP() << "skipped: only root can give a child a /dev/log of its own";
  constexpr int kNoNamespace = 77;
  char folder[] = "/tmp/tove-log-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string errors = std::string(folder) + "/stderr", heard = std::string(folder) + "/log";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int stderrFile = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    const int log = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tove", "/dev", "tmpfs", 0, "size=64k") != 0) {
      ::_exit(kNoNamespace);
    }
    if (::bind(log, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::dup2(stderrFile, STDERR_FILENO) < 0) {
      ::_exit(2);
    }
    struct stat info {};
    ::fstat(STDERR_FILENO, &info);
    Log::setIdentity("org.tove.Tove");
    Log::error("Cannot open\nthe image");
    ::setenv("JOURNAL_STREAM",
             (std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino)).c_str(), 1);
    Log::warning("only once");
    ::setenv("JOURNAL_STREAM",
             (std::to_string(info.st_dev) + ":1" + std::to_string(info.st_ino)).c_str(), 1);
    Log::setIdentity("");
    Log::line("plain");
    std::ofstream out(heard);
    char datagram[512];
    for (int i = 0; i < 3; ++i) {
      const ssize_t n = ::recv(log, datagram, sizeof datagram, MSG_DONTWAIT);
      out << (n > 0 ? std::string(datagram, std::size_t(n)) : "nothing") << "|";
    }
    out.close();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespace) {
    std::filesystem::remove_all(folder);
    GTEST_SKIP() << "skipped: no private mount namespace with a /dev of its own can be made";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const auto contents = [](const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string stamp = "[A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} ";
  EXPECT_TRUE(std::regex_match(
      contents(heard),
      std::regex("<11>" + stamp + "org\\.tove\\.Tove\\[[0-9]+\\]: Cannot open\nthe image\\|" +
                 "<12>" + stamp + "org\\.tove\\.Tove\\[[0-9]+\\]: only once\\|" + "<13>" + stamp +
                 "platform_tests\\[[0-9]+\\]: plain\\|")))
      << contents(heard);
  EXPECT_EQ(contents(errors), "Cannot open\nthe image\nplain\n");
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace sparkler

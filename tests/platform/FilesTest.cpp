#include "sparkler/Files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include "sparkler/testing/TempDir.h"

namespace sparkler {
namespace {

namespace fs = std::filesystem;

TEST(Files, ReadsWholeRegularFilesWithinTheirBoundOnly) {
  testing::TempDir dir;
  const auto file = dir.path() / "file";
  testing::writeFile(file, "twelve bytes");
  EXPECT_EQ(Files::readFile(file, 12), "twelve bytes");
  std::error_code error;
  EXPECT_FALSE(Files::readFile(file, 11, &error));
  EXPECT_EQ(error, std::errc::file_too_large);
  fs::create_symlink(file, dir.path() / "link");
  ::mkfifo((dir.path() / "fifo").c_str(), 0600);  // would block a reader that opened it
  for (const char* name : {"link", "fifo", "."})
    EXPECT_FALSE(Files::readFile(dir.path() / name, 99));
  // /proc files report no size; they are read to their end all the same.
  EXPECT_NE(Files::readFile("/proc/self/stat", 4096).value_or("").find(") "), std::string::npos);
}

TEST(Files, AnAtomicWriteReplacesTheWholeFileOrLeavesTheOldOne) {
  testing::TempDir dir;
  const auto file = dir.path() / "record";
  EXPECT_FALSE(Files::writeAtomically(file, "old", 0640));
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
  // A write cut short (here by the file size limit) changes nothing and leaves no part behind.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto previous = ::signal(SIGXFSZ, SIG_IGN);
  const rlimit small{4096, saved.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_EQ(Files::writeAtomically(file, std::string(8192, 'x')), std::errc::file_too_large);
  EXPECT_FALSE(Files::writeAtomically(file, "new"));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);
  EXPECT_EQ(testing::readFile(file), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
}

}  // namespace
}  // namespace sparkler

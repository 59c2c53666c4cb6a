#include "sparkler/FileDescriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

namespace sparkler {
namespace {

bool isOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

// A descriptor closed twice could close another's that took its number in between.
TEST(FileDescriptor, ClosesWhatItHoldsExactlyOnce) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  int reused = -1;
  {
    FileDescriptor first(ends[0]);
    FileDescriptor second(std::move(first));
    FileDescriptor& alias = second;
    second = std::move(alias);
    EXPECT_TRUE(isOpen(ends[0]));
    second.reset();
    EXPECT_FALSE(isOpen(ends[0]));
    reused = ::dup(ends[1]);  // takes the number just freed
    ASSERT_EQ(reused, ends[0]);
  }
  EXPECT_TRUE(isOpen(reused));
  {
    FileDescriptor holder(reused);
    holder = FileDescriptor(::dup(ends[1]));
    EXPECT_FALSE(isOpen(reused));
    ::close(FileDescriptor(ends[1]).release());
  }
  EXPECT_FALSE(isOpen(ends[1]));
}

}  // namespace
}  // namespace sparkler

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
  const int spare = ends[1];
  int reused = -1;
  {
    FileDescriptor first(ends[0]);
    FileDescriptor second(std::move(first));
    EXPECT_FALSE(first);
    FileDescriptor& alias = second;
    second = std::move(alias);  // keeps what it holds
    EXPECT_TRUE(isOpen(ends[0]));
    second.reset();
    EXPECT_FALSE(isOpen(ends[0]));
    reused = ::dup(spare);  // takes the number just freed
    ASSERT_EQ(reused, ends[0]);
    FileDescriptor third(::dup(spare));
    const int released = third.release();
    EXPECT_TRUE(isOpen(released));
    ::close(released);
  }
  EXPECT_TRUE(isOpen(reused));
  {
    FileDescriptor holder(reused);
    holder = FileDescriptor(spare);
    EXPECT_FALSE(isOpen(reused));
  }
  EXPECT_FALSE(isOpen(spare));
}

}  // namespace
}  // namespace sparkler

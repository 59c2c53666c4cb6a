#include "tove/Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tove {
namespace {

TEST(Log, HandsEveryWholeLineToTheSinkAndStandardErrorFromManyThreads) {
  std::mutex mutex;
  std::vector<std::string> lines;
  Log::setSink([&](std::string_view line) {
    std::lock_guard lock(mutex);
    lines.emplace_back(line);
  });
  testing::internal::CaptureStderr();
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) Log::line("line " + std::to_string(i));
    });
  }
  threads.clear();
  Log::line("UPDATE AVAILABLE\n1.0.1");
  const std::string stderrText = testing::internal::GetCapturedStderr();
  Log::setSink({});
  Log::line("not seen by the removed sink");
  ASSERT_EQ(lines.size(), 201u);
  EXPECT_EQ(lines.back(), "UPDATE AVAILABLE\n1.0.1");
  EXPECT_EQ(std::count(stderrText.begin(), stderrText.end(), '\n'), 202);
  EXPECT_NE(stderrText.find("line 49\nUPDATE AVAILABLE\n1.0.1\n"), std::string::npos);
}

TEST(Log, ASinkMayLogInTurn) {
  int calls = 0;
  Log::setSink([&](std::string_view line) {
    if (++calls == 1) Log::line("again: " + std::string(line));
  });
  Log::line("first");
  Log::setSink({});
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace tove

#include "tove/Log.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tove {
namespace {

TEST(Log, HandsEveryWholeLineToTheSinkFromManyThreads) {
  std::mutex mutex;
  std::vector<std::string> lines;
  Log::setSink([&](std::string_view line) {
    std::lock_guard lock(mutex);
    lines.emplace_back(line);
  });
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) Log::line("line " + std::to_string(t) + " " + std::to_string(i));
    });
  }
  for (auto& thread : threads) thread.join();
  Log::line("UPDATE AVAILABLE\n1.0.1");
  const std::string stderrText = testing::internal::GetCapturedStderr();
  Log::setSink({});
  Log::line("not seen by the removed sink");

  ASSERT_EQ(lines.size(), 201u);
  EXPECT_EQ(lines.back(), "UPDATE AVAILABLE\n1.0.1");
  // Standard error gets each line once, whole, followed by a newline.
  EXPECT_NE(stderrText.find("line 3 49\n"), std::string::npos);
  EXPECT_NE(stderrText.find("UPDATE AVAILABLE\n1.0.1\n"), std::string::npos);
  std::size_t newlines = 0;
  for (const char c : stderrText) newlines += c == '\n';
  EXPECT_EQ(newlines, 202u);
}

TEST(Log, ASinkMayLogInTurn) {
  int calls = 0;
  Log::setSink([&](std::string_view line) {
    if (++calls == 1) Log::line(std::string("again: ") + std::string(line));
  });
  Log::line("first");
  Log::setSink({});
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace tove

#include "sparkler/Log.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace sparkler

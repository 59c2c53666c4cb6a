#include "sparkler/RunLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "sparkler/Dispatch.h"

namespace sparkler {
namespace {

TEST(RunLoopTest, ServesWorkPostedFromWorkerThreadsAndTimersByDueTime) {
  auto runLoop = std::make_shared<RunLoop>();
  dispatch::setMainLoop(runLoop);
  std::vector<int> order;
  runLoop->postAfter(MainLoop::Seconds(0.2), [&] { order.push_back(3); });
  runLoop->postAfter(MainLoop::Seconds(0), [&] { order.push_back(2); });
  dispatch::async(dispatch::Priority::Low,
                  [&] { dispatch::asyncMain([&] { order.push_back(1); }); });
  EXPECT_TRUE(runLoop->runUntil([&] { return order.size() == 3; }, MainLoop::Seconds(30)));
  std::sort(order.begin(), order.end() - 1);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  runLoop->post([&] { runLoop->stop(); });
  runLoop->run();
  dispatch::setMainLoop(nullptr);
}

}  // namespace
}  // namespace sparkler

#include "sparkler/Timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "sparkler/Dispatch.h"
#include "sparkler/MainLoop.h"

namespace {

using sparkler::MainLoop;
using sparkler::Timer;

// A main loop on the test's own clock and thread: nothing runs, no time passes unless asked.
struct ClockLoop final : MainLoop {
  void post(std::function<void()> fn) override { postAfter(Seconds(0), std::move(fn)); }
  void postAfter(Seconds delay, std::function<void()> fn) override {
    timers.emplace(clock + std::max(delay.count(), 0.0), std::move(fn));
  }
  Seconds now() const override { return Seconds(clock); }

  // Runs what falls due up to `until`, each `early` before its due time (or once the work
  // before it is done); then the clock shows `until`.
  void runUntil(double until, double early = 0) {
    while (!timers.empty() && timers.begin()->first <= until) {
      clock = std::max(clock, timers.begin()->first - early);
      auto fn = std::move(timers.begin()->second);
      timers.erase(timers.begin());
      fn();
    }
    clock = std::max(clock, until);
  }

  double clock = 1000;
  std::multimap<double, std::function<void()>> timers;
};

// Records the clock at each firing; each action takes `work` seconds, and the second one
// invalidates `stopAtSecond`.
struct Recorder {
  ClockLoop* loop;
  double work = 0;
  std::vector<double> firings;
  Timer* stopAtSecond = nullptr;
  void tick() {
    firings.push_back(loop->clock);
    loop->clock += work;
    if (stopAtSecond != nullptr && firings.size() == 2) stopAtSecond->invalidate();
  }
};

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override { sparkler::dispatch::setMainLoop(loop); }
  void TearDown() override { sparkler::dispatch::setMainLoop(nullptr); }

  std::shared_ptr<Recorder> repeating(double interval, double work = 0) {
    auto target = std::make_shared<Recorder>(Recorder{loop.get(), work, {}, nullptr});
    timer = Timer::scheduledTimer(interval, target, &Recorder::tick, true);
    return target;
  }

  std::shared_ptr<ClockLoop> loop = std::make_shared<ClockLoop>();
  std::shared_ptr<Timer> timer;
};

// A repeating timer fires on every multiple of its interval from when it was scheduled,
// however long its action takes; a late loop gets one late firing, then the next due time
// still ahead, and one that fires early does not get the same firing again.
TEST_F(TimerTest, RepeatingTimerKeepsItsScheduleAndMakesNoMissedFiringUp) {
  struct Case {
    double interval, work, busyUntil, early, until;
    std::vector<double> firings;
  };
  const Case cases[] = {
      {0.1, 0.06, 0, 0, 1000.45, {1000.1, 1000.2, 1000.3, 1000.4}},
      {0.1, 0.25, 0, 0, 1001.05, {1000.1, 1000.4, 1000.7, 1001.0}},
      {0.1, 0, 1000.35, 0, 1000.55, {1000.35, 1000.4, 1000.5}},
      {0.1, 0, 0, 1e-5, 1000.35, {1000.09999, 1000.19999, 1000.29999}},
      // A non-positive interval is a short one, not a loop that never stops firing.
      {0, 0, 0, 0, 1000.00035, {1000.0001, 1000.0002, 1000.0003}},
  };
  for (const Case& c : cases) {
    loop = std::make_shared<ClockLoop>();
    sparkler::dispatch::setMainLoop(loop);
    const auto target = repeating(c.interval, c.work);
    loop->clock = std::max(loop->clock, c.busyUntil);
    loop->runUntil(c.until, c.early);
    ASSERT_EQ(target->firings.size(), c.firings.size()) << "until " << c.until;
    for (std::size_t i = 0; i < c.firings.size(); ++i)
      EXPECT_NEAR(target->firings[i], c.firings[i], 1e-9) << "until " << c.until;
  }
}

TEST_F(TimerTest, InvalidatingOrDroppingTheLoopReleasesTheTarget) {
  std::weak_ptr<Recorder> watched = repeating(1.0);
  watched.lock()->stopAtSecond = timer.get();  // from inside its own action
  loop->runUntil(1005.0);
  EXPECT_TRUE(watched.expired());
  EXPECT_FALSE(timer->isValid());
  EXPECT_TRUE(loop->timers.empty());

  // From outside, while a firing is pending: the target goes at once, the firing does nothing.
  watched = repeating(1.0);
  timer->invalidate();
  EXPECT_TRUE(watched.expired());
  loop->runUntil(1010.0);
  EXPECT_TRUE(loop->timers.empty());

  // A one-shot timer fires once, an interval from now, and is no longer valid then. It keeps
  // its target until it has fired, and not after. Without an action there is no timer.
  EXPECT_EQ(Timer::scheduledTimer<Recorder>(1.0, std::make_shared<Recorder>(), nullptr), nullptr);
  auto once = std::make_shared<Recorder>(Recorder{loop.get(), 0, {}, nullptr});
  timer = Timer::scheduledTimer(2.5, once, &Recorder::tick);
  loop->runUntil(1020.0);
  EXPECT_EQ(once->firings, std::vector<double>{1012.5});
  EXPECT_FALSE(timer->isValid());
  watched = once;
  once.reset();
  EXPECT_TRUE(watched.expired());
  once = std::make_shared<Recorder>(Recorder{loop.get(), 0, {}, nullptr});
  watched = once;
  Timer::scheduledTimer(1.0, std::move(once), &Recorder::tick);
  EXPECT_FALSE(watched.expired());
  loop->runUntil(1025.0);
  EXPECT_TRUE(watched.expired());

  // A repeating timer stays with the loop it was scheduled on, and goes with it.
  watched = repeating(1.0);
  timer.reset();
  sparkler::dispatch::setMainLoop(std::make_shared<ClockLoop>());
  loop->runUntil(1035.0);
  EXPECT_EQ(watched.lock()->firings.size(), 10u);
  sparkler::dispatch::setMainLoop(nullptr);
  loop.reset();
  EXPECT_TRUE(watched.expired());
  EXPECT_EQ(Timer::scheduledTimer(1.0, std::make_shared<Recorder>(), &Recorder::tick, true),
            nullptr);
}

}  // namespace

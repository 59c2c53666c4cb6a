#include "tove/Timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "tove/Dispatch.h"
#include "tove/MainLoop.h"

namespace {

using tove::MainLoop;
using tove::Timer;

// A main loop on a clock of the test's own, all on the test's thread: nothing runs and no
// time passes unless the test says so.
struct ClockLoop final : MainLoop {
  void post(std::function<void()> fn) override { postAfter(Seconds(0), std::move(fn)); }
  void postAfter(Seconds delay, std::function<void()> fn) override {
    timers.emplace(clock + std::max(delay.count(), 0.0), std::move(fn));
  }
  Seconds now() const override { return Seconds(clock); }

  // Runs the first pending function with the clock at `at`, even before it is due.
  void runFirstAt(double at) {
    clock = at;
    auto fn = std::move(timers.begin()->second);
    timers.erase(timers.begin());
    fn();
  }
  // Runs what falls due up to `until`, each at its due time or, when the work before it ran
  // late, as soon as that is done; then the clock shows `until`.
  void runUntil(double until) {
    while (!timers.empty() && timers.begin()->first <= until)
      runFirstAt(std::max(clock, timers.begin()->first));
    clock = std::max(clock, until);
  }

  double clock = 1000;
  std::multimap<double, std::function<void()>> timers;
};

// The loop's clock at each firing; each firing's action takes `work` seconds.
struct Recorder {
  ClockLoop* loop = nullptr;
  double work = 0;
  std::vector<double> firings;
  void tick() {
    firings.push_back(loop->clock);
    loop->clock += work;
  }
};

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override { tove::dispatch::setMainLoop(loop); }
  void TearDown() override { tove::dispatch::setMainLoop(nullptr); }

  void useFreshLoop() {
    loop = std::make_shared<ClockLoop>();
    tove::dispatch::setMainLoop(loop);
  }
  std::shared_ptr<Recorder> recorder(double work = 0) {
    return std::make_shared<Recorder>(Recorder{loop.get(), work, {}});
  }
  std::shared_ptr<Recorder> repeating(double interval, double work = 0) {
    auto target = recorder(work);
    timer = Timer::scheduledTimer(interval, target, &Recorder::tick, true);
    return target;
  }

  std::shared_ptr<ClockLoop> loop = std::make_shared<ClockLoop>();
  std::shared_ptr<Timer> timer;
};

void expectTimes(const std::vector<double>& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i)
    EXPECT_NEAR(actual[i], expected[i], 1e-9) << "firing " << i;
}

// A repeating timer fires on every multiple of its interval from when it was scheduled,
// however long its action takes; a late loop gets one late firing, then the next due time
// still ahead: missed firings are not made up.
TEST_F(TimerTest, RepeatingTimerKeepsItsScheduleAndMakesNoMissedFiringUp) {
  auto target = repeating(0.1, 0.06);
  loop->runUntil(1000.45);
  expectTimes(target->firings, {1000.1, 1000.2, 1000.3, 1000.4});

  useFreshLoop();
  target = repeating(0.1, 0.25);
  loop->runUntil(1001.05);
  expectTimes(target->firings, {1000.1, 1000.4, 1000.7, 1001.0});

  // Busy until 1000.35, the loop runs those due at .1, .2 and .3 as one; one it runs a
  // little early is still followed by the next, not by itself again.
  useFreshLoop();
  target = repeating(0.1);
  loop->clock = 1000.35;
  loop->runUntil(1000.55);
  loop->runFirstAt(1000.59999);
  loop->runUntil(1000.75);
  expectTimes(target->firings, {1000.35, 1000.4, 1000.5, 1000.59999, 1000.7});

  // A non-positive interval is a short one, not a loop that never stops firing.
  useFreshLoop();
  target = repeating(0);
  loop->runUntil(1000.00105);
  EXPECT_EQ(target->firings.size(), 10u);
  EXPECT_NEAR(target->firings.front(), 1000.0001, 1e-9);
}

TEST_F(TimerTest, InvalidatingOrDroppingTheLoopReleasesTheTarget) {
  // From inside its own action, after the second firing.
  std::weak_ptr<Recorder> watched;
  {
    auto target = recorder();
    watched = target;
    timer = Timer::scheduledTimer(
        1.0, std::move(target),
        [this](const std::shared_ptr<void>& t) {
          auto* recorder = static_cast<Recorder*>(t.get());
          recorder->tick();
          if (recorder->firings.size() == 2) timer->invalidate();
        },
        true);
  }
  loop->runUntil(1005.0);
  EXPECT_TRUE(watched.expired());
  EXPECT_FALSE(timer->isValid());
  EXPECT_TRUE(loop->timers.empty());

  // From outside, while a firing is pending: the target goes at once, the firing does nothing.
  watched = repeating(1.0);
  EXPECT_FALSE(watched.expired());
  timer->invalidate();
  EXPECT_TRUE(watched.expired());
  loop->runUntil(1010.0);
  EXPECT_TRUE(loop->timers.empty());

  // A one-shot timer fires once, an interval from now, and is no longer valid then.
  auto once = recorder();
  timer = Timer::scheduledTimer(2.5, once, &Recorder::tick);
  loop->runUntil(1020.0);
  expectTimes(once->firings, {1012.5});
  EXPECT_FALSE(timer->isValid());

  // A repeating timer stays with the loop it was scheduled on, and goes with it.
  watched = repeating(1.0);
  timer.reset();
  auto other = std::make_shared<ClockLoop>();
  tove::dispatch::setMainLoop(other);
  loop->runUntil(1030.0);
  EXPECT_EQ(watched.lock()->firings.size(), 10u);
  tove::dispatch::setMainLoop(nullptr);
  loop.reset();
  EXPECT_TRUE(watched.expired());
  EXPECT_EQ(Timer::scheduledTimer(1.0, recorder(), &Recorder::tick, true), nullptr);
}

}  // namespace

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
// time passes unless the test says so. It records the delays it is asked for.
struct ClockLoop final : MainLoop {
  void post(std::function<void()> fn) override { postAfter(Seconds(0), std::move(fn)); }
  void postAfter(Seconds delay, std::function<void()> fn) override {
    delays.push_back(delay.count());
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

  double clock = 0;
  std::multimap<double, std::function<void()>> timers;
  std::vector<double> delays;
};

// What a timer's action saw: the loop's clock at each firing.
struct Recorder {
  ClockLoop* loop = nullptr;
  double work = 0;  // how long each firing's action takes
  std::vector<double> firings;
  void tick() {
    firings.push_back(loop->now().count());
    loop->clock += work;
  }
};

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override { tove::dispatch::setMainLoop(loop); }
  void TearDown() override { tove::dispatch::setMainLoop(nullptr); }

  std::shared_ptr<Recorder> recorder(double work = 0) {
    auto made = std::make_shared<Recorder>();
    made->loop = loop.get();
    made->work = work;
    return made;
  }

  std::shared_ptr<ClockLoop> loop = std::make_shared<ClockLoop>();
};

void expectTimes(const std::vector<double>& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i)
    EXPECT_NEAR(actual[i], expected[i], 1e-9) << "firing " << i;
}

TEST_F(TimerTest, RepeatingTimerKeepsItsScheduleHoweverLongItsActionTakes) {
  loop->clock = 1000;
  auto target = recorder(0.06);
  auto timer = Timer::scheduledTimer(0.1, target, &Recorder::tick, true);
  ASSERT_TRUE(timer);
  loop->runUntil(1001.05);
  expectTimes(target->firings,
              {1000.1, 1000.2, 1000.3, 1000.4, 1000.5, 1000.6, 1000.7, 1000.8, 1000.9, 1001.0});
  EXPECT_NEAR(loop->delays.front(), 0.1, 1e-12);
  EXPECT_NEAR(loop->delays.back(), 0.04, 1e-9);
  EXPECT_TRUE(timer->isValid());
  EXPECT_EQ(loop->timers.size(), 1u);

  // An action longer than the interval is followed by the next due time still ahead.
  timer->invalidate();
  loop->runUntil(1001.5);
  auto slow = recorder(0.25);
  Timer::scheduledTimer(0.1, slow, &Recorder::tick, true);
  loop->runUntil(1002.55);
  expectTimes(slow->firings, {1001.6, 1001.9, 1002.2, 1002.5});
}

TEST_F(TimerTest, ABusyLoopGetsOneLateFiringAndThenTheScheduleAgain) {
  auto target = recorder();
  Timer::scheduledTimer(0.1, target, &Recorder::tick, true);
  // The loop was busy until 0.35: the firings due at 0.1, 0.2 and 0.3 become one.
  loop->clock = 0.35;
  loop->runUntil(0.55);
  expectTimes(target->firings, {0.35, 0.4, 0.5});

  // A loop that fires a little early still gets the next firing one interval later.
  loop->runFirstAt(0.59999);
  EXPECT_NEAR(loop->delays.back(), 0.10001, 1e-9);

  // A non-positive interval is a short one, not a loop that never stops firing.
  auto eager = recorder();
  auto timer = Timer::scheduledTimer(0, eager, &Recorder::tick, true);
  loop->runUntil(loop->clock + 0.00105);
  EXPECT_EQ(eager->firings.size(), 10u);
  EXPECT_NEAR(loop->delays.back(), 0.0001, 1e-9);
}

TEST_F(TimerTest, InvalidatingOrDroppingTheLoopReleasesTheTarget) {
  // From inside its own action, after the second firing.
  auto target = recorder();
  std::weak_ptr<Recorder> watched = target;
  std::shared_ptr<Timer> timer;
  timer = Timer::scheduledTimer(
      1.0, std::move(target),
      [&timer](const std::shared_ptr<void>& t) {
        auto* recorder = static_cast<Recorder*>(t.get());
        recorder->tick();
        if (recorder->firings.size() == 2) timer->invalidate();
      },
      true);
  loop->runUntil(1.0);
  EXPECT_FALSE(watched.expired());
  loop->runUntil(10.0);
  EXPECT_TRUE(watched.expired());
  EXPECT_FALSE(timer->isValid());
  EXPECT_EQ(loop->timers.size(), 0u);

  // From outside, while a firing is pending: the target goes at once, the firing does nothing.
  target = recorder();
  watched = target;
  timer = Timer::scheduledTimer(1.0, std::move(target), &Recorder::tick, true);
  timer->invalidate();
  EXPECT_TRUE(watched.expired());
  loop->runUntil(20.0);
  EXPECT_EQ(loop->timers.size(), 0u);

  // A one-shot timer fires once, with the interval as given, and lets go.
  target = recorder();
  watched = target;
  timer = Timer::scheduledTimer(2.5, std::move(target), &Recorder::tick);
  EXPECT_EQ(loop->delays.back(), 2.5);
  loop->runUntil(30.0);
  EXPECT_TRUE(watched.expired());
  EXPECT_FALSE(timer->isValid());
  EXPECT_EQ(loop->timers.size(), 0u);

  // A repeating timer stays with the loop it was scheduled on, and goes with it.
  target = recorder();
  watched = target;
  Timer::scheduledTimer(1.0, std::move(target), &Recorder::tick, true);
  auto other = std::make_shared<ClockLoop>();
  tove::dispatch::setMainLoop(other);
  loop->runUntil(40.0);
  EXPECT_EQ(watched.lock()->firings.size(), 10u);
  EXPECT_EQ(other->timers.size(), 0u);
  tove::dispatch::setMainLoop(nullptr);
  loop.reset();
  EXPECT_TRUE(watched.expired());
  EXPECT_EQ(Timer::scheduledTimer(1.0, recorder(), &Recorder::tick, true), nullptr);
}

}  // namespace

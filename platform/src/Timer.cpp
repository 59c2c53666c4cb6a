#include "sparkler/Timer.h"

#include <algorithm>
#include <cmath>

#include "sparkler/Dispatch.h"

namespace sparkler {

namespace {

// The shortest interval, as the platform's timers have it: a repeating timer with none
// would otherwise keep the loop busy with nothing else.
constexpr double kMinimumInterval = 0.0001;

}  // namespace

Timer::Timer(double interval, std::shared_ptr<void> target, Action action, bool repeats)
    : interval_(interval > kMinimumInterval ? interval : kMinimumInterval),
      repeats_(repeats),
      target_(std::move(target)),
      action_(std::move(action)) {}

std::shared_ptr<Timer> Timer::scheduledTimer(double interval, std::shared_ptr<void> target,
                                             Action action, bool repeats) {
  if (!action) return nullptr;
  auto loop = dispatch::mainLoop();
  if (!loop) return nullptr;
  auto timer = std::make_shared<Timer>(interval, std::move(target), std::move(action), repeats);
  timer->loop_ = loop;
  timer->start_ = loop->now().count();
  timer->arm(*loop, MainLoop::Seconds(timer->interval_));
  return timer;
}

void Timer::arm(MainLoop& loop, MainLoop::Seconds delay) {
  // The posted function owns the timer, and through it the target, until it has run. The
  // timer holds its loop weakly: a loop that is dropped takes its pending firings, and so the
  // timer and its target, with it.
  loop.postAfter(delay, [self = shared_from_this()] { self->fire(); });
}

void Timer::fire() {
  std::shared_ptr<void> target;
  Action action;
  {
    std::lock_guard lock(mutex_);
    if (!valid_) return;
    target = target_;
    action = action_;
    if (!repeats_) {
      valid_ = false;
      target_.reset();
      action_ = nullptr;
    }
  }
  action(target);
  if (!repeats_ || !isValid()) return;
  auto loop = loop_.lock();
  if (!loop) return;
  // The next due time after now, so that the action's own time does not push the schedule
  // back and a loop that was too busy gets one late firing, not a burst of them; never the
  // firing just made, even when the loop ran it a little early.
  const double now = loop->now().count();
  due_ = std::max(due_ + 1, std::floor((now - start_) / interval_) + 1);
  arm(*loop, MainLoop::Seconds(start_ + due_ * interval_ - now));
}

void Timer::invalidate() {
  std::shared_ptr<void> target;
  Action action;
  {
    std::lock_guard lock(mutex_);
    valid_ = false;
    target = std::move(target_);
    action = std::move(action_);
  }
  // The target is released outside the lock: its destructor may touch this timer.
}

bool Timer::isValid() const {
  std::lock_guard lock(mutex_);
  return valid_;
}

}  // namespace sparkler

#include "tove/Timer.h"

#include "tove/Dispatch.h"

namespace tove {

Timer::Timer(double interval, std::shared_ptr<void> target, Action action, bool repeats)
    : interval_(interval),
      repeats_(repeats),
      target_(std::move(target)),
      action_(std::move(action)) {}

std::shared_ptr<Timer> Timer::scheduledTimer(double interval, std::shared_ptr<void> target,
                                             Action action, bool repeats) {
  if (!action) return nullptr;
  auto timer = std::make_shared<Timer>(interval, std::move(target), std::move(action), repeats);
  if (!dispatch::mainLoop()) return nullptr;
  timer->arm();
  return timer;
}

void Timer::arm() {
  // The posted function owns the timer, and through it the target, until it has run.
  dispatch::afterMain(MainLoop::Seconds(interval_), [self = shared_from_this()] { self->fire(); });
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
  if (repeats_ && isValid()) arm();
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

}  // namespace tove

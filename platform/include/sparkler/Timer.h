#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "sparkler/MainLoop.h"

namespace sparkler {

/// A timer on the main loop (see dispatch::mainLoop) that calls an action with its target.
/// It keeps the target alive until it has fired for the last time or is invalidated.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Action = std::function<void(const std::shared_ptr<void>& target)>;

  /// A timer that calls `action(target)` on the main loop `interval` seconds from now and,
  /// when `repeats`, keeps to a schedule of every further multiple of `interval` from now on
  /// the loop's clock (MainLoop::now), however long the action takes. When the loop is too
  /// busy to fire on time, the timer fires once, late, and then at the next due time still
  /// ahead: missed firings are not made up. An interval that is not positive counts as
  /// 0.1 ms. nullptr, with nothing scheduled, when `action` is empty or no main loop is set.
  /// The target is passed on as given, even when null.
  static std::shared_ptr<Timer> scheduledTimer(double interval, std::shared_ptr<void> target,
                                               Action action, bool repeats = false);

  /// The same with a member function of the target's class as the action; nullptr when
  /// `action` is null.
  template <class T>
  static std::shared_ptr<Timer> scheduledTimer(double interval, std::shared_ptr<T> target,
                                               void (T::*action)(), bool repeats = false) {
    if (action == nullptr) return nullptr;
    return scheduledTimer(
        interval, std::shared_ptr<void>(std::move(target)),
        [action](const std::shared_ptr<void>& t) {
          if (t) (static_cast<T*>(t.get())->*action)();
        },
        repeats);
  }

  /// Stops the timer from firing again and releases its target.
  void invalidate();

  /// Whether the timer will still fire.
  bool isValid() const;

  Timer(double interval, std::shared_ptr<void> target, Action action, bool repeats);

 private:
  void arm(MainLoop& loop, MainLoop::Seconds delay);
  void fire();

  const double interval_;
  const bool repeats_;
  // The loop the timer was scheduled on, and its schedule there: firing n is due at
  // start_ + n * interval_. Only the loop's thread touches them once the timer is armed.
  std::weak_ptr<MainLoop> loop_;
  double start_ = 0;
  double due_ = 1;  // the number of the firing that is armed
  mutable std::mutex mutex_;
  std::shared_ptr<void> target_;
  Action action_;
  bool valid_ = true;
};

}  // namespace sparkler

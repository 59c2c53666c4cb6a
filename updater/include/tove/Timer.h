#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace tove {

/// A timer on the main loop (see dispatch::afterMain) that calls an action with its target.
/// It keeps the target alive until it has fired for the last time or is invalidated.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Action = std::function<void(const std::shared_ptr<void>& target)>;

  /// A timer that calls `action(target)` after `interval` seconds on the main loop, and
  /// again every `interval` when `repeats`. nullptr, with nothing scheduled, when `action`
  /// is empty or no main loop is set. The target is passed on as given, even when null.
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
  void arm();
  void fire();

  const double interval_;
  const bool repeats_;
  mutable std::mutex mutex_;
  std::shared_ptr<void> target_;
  Action action_;
  bool valid_ = true;
};

}  // namespace tove

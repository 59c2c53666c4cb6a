#pragma once

#include <chrono>
#include <functional>

namespace sparkler {

/// The loop that runs the main thread: the built-in RunLoop in tools and tests, the Qt event
/// loop in the app. Both calls may come from any thread; the functions run on the loop's
/// thread, in the order they were posted (timers in the order they fall due).
class MainLoop {
 public:
  using Seconds = std::chrono::duration<double>;

  virtual ~MainLoop() = default;

  /// Runs `fn` soon on the loop's thread. A loop that has been stopped for good may drop it.
  virtual void post(std::function<void()> fn) = 0;

  /// Runs `fn` once on the loop's thread after `delay` (a one-shot timer); negative delays
  /// count as zero. A loop that has been stopped for good may drop it.
  virtual void postAfter(Seconds delay, std::function<void()> fn) = 0;

  /// The time on the clock that postAfter's delays are counted on: seconds since an
  /// arbitrary point, never going back. The default is the system's monotonic clock, which
  /// the built-in RunLoop and Qt's timers count on. Never fails.
  virtual Seconds now() const { return std::chrono::steady_clock::now().time_since_epoch(); }
};

}  // namespace sparkler

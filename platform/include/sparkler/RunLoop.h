#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "sparkler/MainLoop.h"

namespace sparkler {

/// A small main loop for tools and tests: it serves posted functions and timers on whichever
/// thread calls run() or runUntil().
class RunLoop final : public MainLoop {
 public:
  void post(std::function<void()> fn) override;
  void postAfter(Seconds delay, std::function<void()> fn) override;

  /// Serves the loop until stop() is called (from any thread, or from a posted function).
  void run();

  /// Serves the loop until `done()` holds (checked after every function run) or `timeout`
  /// has passed; false on time-out. Does not consume a pending stop().
  bool runUntil(const std::function<bool()>& done, Seconds timeout);

  /// Makes run() return once the function it is running has finished.
  void stop();

  /// Timers still waiting to fire.
  std::size_t pendingTimers() const;

 private:
  using Clock = std::chrono::steady_clock;
  // Runs due work; returns false when nothing ran and `deadline` passed or a stop is pending.
  bool serveOne(std::unique_lock<std::mutex>& lock, Clock::time_point deadline);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::multimap<Clock::time_point, std::function<void()>> timers_;
  bool stopRequested_ = false;
};

}  // namespace sparkler

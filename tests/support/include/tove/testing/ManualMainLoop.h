#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "tove/MainLoop.h"

namespace tove::testing {

/// A main loop that runs nothing by itself: the test runs posted functions and fires timers
/// when it chooses, and reads the delays timers were armed with. Time never passes.
class ManualMainLoop final : public MainLoop {
 public:
  void post(std::function<void()> fn) override;
  void postAfter(Seconds delay, std::function<void()> fn) override;

  /// Waits (at most `timeout`, as a guard) until a posted function is pending; false if none.
  bool waitForPost(Seconds timeout = Seconds(30));

  /// Runs the posted functions pending now, on the calling thread; how many ran.
  std::size_t runPosted();

  /// The delays of the timers armed so far, fired or not, in order.
  std::vector<double> timerDelays() const;

  std::size_t pendingTimers() const;

  /// Fires the oldest pending timer on the calling thread; false when none is pending.
  bool fireTimer();

  /// Drops every pending function and timer (releasing what they hold).
  void clear();

 private:
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> queue_;
  std::deque<std::function<void()>> timers_;
  std::vector<double> delays_;
};

}  // namespace tove::testing

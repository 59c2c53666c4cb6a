#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "sparkler/MainLoop.h"

namespace sparkler::testing {

/// A main loop that runs nothing by itself: the test runs posted functions and fires timers
/// when it chooses, and reads the delays timers were armed with. Time never passes.
class ManualMainLoop final : public MainLoop {
  using Queue = std::deque<std::function<void()>>;

 public:
  void post(std::function<void()> fn) override {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
    posted_.notify_all();
  }

  void postAfter(Seconds delay, std::function<void()> fn) override {
    std::lock_guard lock(mutex_);
    delays_.push_back(delay.count());
    timers_.push_back(std::move(fn));
  }

  /// Waits (at most `timeout`, as a guard) until a posted function is pending; false if none.
  bool waitForPost(Seconds timeout = Seconds(30)) {
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
  }

  /// Runs the posted functions pending now, on the calling thread; how many ran.
  std::size_t runPosted() {
    Queue batch;
    {
      std::lock_guard lock(mutex_);
      batch.swap(queue_);
    }
    for (auto& fn : batch) fn();
    return batch.size();
  }

  /// The delays of the timers armed so far, fired or not, in order.
  std::vector<double> timerDelays() const {
    std::lock_guard lock(mutex_);
    return delays_;
  }

  std::size_t pendingTimers() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
  }

  /// Fires the oldest pending timer on the calling thread; false when none is pending.
  bool fireTimer() {
    std::unique_lock lock(mutex_);
    if (timers_.empty()) return false;
    auto fn = std::move(timers_.front());
    timers_.pop_front();
    lock.unlock();
    fn();
    return true;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  Queue queue_;
  Queue timers_;
  std::vector<double> delays_;
};

}  // namespace sparkler::testing

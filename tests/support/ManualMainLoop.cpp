#include "tove/testing/ManualMainLoop.h"

namespace tove::testing {

void ManualMainLoop::post(std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  posted_.notify_all();
}

void ManualMainLoop::postAfter(Seconds delay, std::function<void()> fn) {
  std::lock_guard lock(mutex_);
  delays_.push_back(delay.count());
  timers_.push_back(std::move(fn));
}

bool ManualMainLoop::waitForPost(Seconds timeout) {
  std::unique_lock lock(mutex_);
  return posted_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
}

std::size_t ManualMainLoop::runPosted() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(queue_);
  }
  for (auto& fn : batch) fn();
  return batch.size();
}

std::vector<double> ManualMainLoop::timerDelays() const {
  std::lock_guard lock(mutex_);
  return delays_;
}

std::size_t ManualMainLoop::pendingTimers() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

bool ManualMainLoop::fireTimer() {
  std::function<void()> fn;
  {
    std::lock_guard lock(mutex_);
    if (timers_.empty()) return false;
    fn = std::move(timers_.front());
    timers_.pop_front();
  }
  fn();
  return true;
}

void ManualMainLoop::clear() {
  std::deque<std::function<void()>> queue, timers;
  {
    std::lock_guard lock(mutex_);
    queue.swap(queue_);
    timers.swap(timers_);
  }
}

}  // namespace tove::testing

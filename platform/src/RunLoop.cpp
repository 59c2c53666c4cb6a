#include "sparkler/RunLoop.h"

namespace sparkler {

void RunLoop::post(std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  wake_.notify_all();
}

void RunLoop::postAfter(Seconds delay, std::function<void()> fn) {
  auto wait = std::chrono::duration_cast<Clock::duration>(delay < Seconds(0) ? Seconds(0) : delay);
  {
    std::lock_guard lock(mutex_);
    timers_.emplace(Clock::now() + wait, std::move(fn));
  }
  wake_.notify_all();
}

void RunLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
}

std::size_t RunLoop::pendingTimers() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

bool RunLoop::serveOne(std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
  for (;;) {
    if (stopRequested_) return false;
    std::function<void()> fn;
    auto now = Clock::now();
    if (!timers_.empty() && timers_.begin()->first <= now) {
      fn = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
    } else if (!queue_.empty()) {
      fn = std::move(queue_.front());
      queue_.pop_front();
    }
    if (fn) {
      lock.unlock();
      fn();
      fn = nullptr;
      lock.lock();
      return true;
    }
    if (now >= deadline) return false;
    auto until = deadline;
    if (!timers_.empty() && timers_.begin()->first < until) until = timers_.begin()->first;
    wake_.wait_until(lock, until);
  }
}

void RunLoop::run() {
  std::unique_lock lock(mutex_);
  while (serveOne(lock, Clock::time_point::max())) {
  }
  stopRequested_ = false;
}

bool RunLoop::runUntil(const std::function<bool()>& done, Seconds timeout) {
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
  if (done()) return true;
  std::unique_lock lock(mutex_);
  while (serveOne(lock, deadline)) {
    lock.unlock();
    bool finished = done();
    lock.lock();
    if (finished) return true;
  }
  lock.unlock();
  return done();
}

}  // namespace sparkler

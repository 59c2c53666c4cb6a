#include "sparkler/Dispatch.h"

#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace sparkler::dispatch {
namespace {

// A pool that grows whenever a job arrives and no worker is idle, so a job blocked on the
// network never holds up the next one. Workers are detached and the pool is never destroyed:
// jobs may still be blocked at exit, and joining them would hang the process.
class Pool {
 public:
  explicit Pool(int nice) : nice_(nice) {}

  void submit(std::function<void()> fn) {
    std::unique_lock lock(mutex_);
    jobs_.push_back(std::move(fn));
    if (idle_ == 0) {
      ++idle_;  // the new worker counts as idle until it takes a job
      std::thread([this] { work(); }).detach();
    }
    lock.unlock();
    ready_.notify_one();
  }

 private:
  void work() {
    if (nice_ != 0) {
      // Linux applies a thread id to PRIO_PROCESS, so this lowers this thread alone.
      setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice_);
    }
    std::unique_lock lock(mutex_);
    for (;;) {
      ready_.wait(lock, [this] { return !jobs_.empty(); });
      auto fn = std::move(jobs_.front());
      jobs_.pop_front();
      --idle_;
      lock.unlock();
      fn();
      fn = nullptr;  // captured references go before the worker waits again
      lock.lock();
      ++idle_;
    }
  }

  const int nice_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  int idle_ = 0;
};

Pool& pool(Priority priority) {
  static Pool* low = new Pool(10);
  static Pool* normal = new Pool(0);
  return priority == Priority::Low ? *low : *normal;
}

// Never destroyed, like the pools: jobs still running at exit may post to the main queue.
struct MainSlot {
  std::mutex mutex;
  std::shared_ptr<MainLoop> loop;
};

MainSlot& mainSlot() {
  static auto* slot = new MainSlot;
  return *slot;
}

}  // namespace

void async(Priority priority, std::function<void()> fn) {
  if (fn) pool(priority).submit(std::move(fn));
}

void setMainLoop(std::shared_ptr<MainLoop> loop) {
  auto& slot = mainSlot();
  std::shared_ptr<MainLoop> previous;  // released after the lock
  std::lock_guard lock(slot.mutex);
  previous = std::exchange(slot.loop, std::move(loop));
}

std::shared_ptr<MainLoop> mainLoop() {
  auto& slot = mainSlot();
  std::lock_guard lock(slot.mutex);
  return slot.loop;
}

bool asyncMain(std::function<void()> fn) {
  auto loop = mainLoop();
  if (!loop || !fn) return false;
  loop->post(std::move(fn));
  return true;
}

bool afterMain(MainLoop::Seconds delay, std::function<void()> fn) {
  auto loop = mainLoop();
  if (!loop || !fn) return false;
  loop->postAfter(delay, std::move(fn));
  return true;
}

}  // namespace sparkler::dispatch

#include "sparkler/MonotonicClock.h"

#include <atomic>
#include <chrono>

namespace sparkler::MonotonicClock {
namespace {
std::atomic<bool> frozen{false};
std::atomic<double> frozenValue{0.0};
}  // namespace

double now() noexcept {
  if (frozen.load()) return frozenValue.load();
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void setForTesting(std::optional<double> seconds) noexcept {
  if (seconds) {
    frozenValue.store(*seconds);
    frozen.store(true);
  } else {
    frozen.store(false);
  }
}

}  // namespace sparkler::MonotonicClock

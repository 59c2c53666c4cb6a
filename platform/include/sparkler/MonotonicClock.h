#pragma once

#include <optional>

namespace sparkler::MonotonicClock {

/// Seconds on the system's monotonic clock (unaffected by changes of the wall clock), or the
/// value set by setForTesting. Never fails.
double now() noexcept;

/// Freezes now() at `seconds` (tests advance it by calling again); nullopt returns to the
/// real clock. Safe from any thread.
void setForTesting(std::optional<double> seconds) noexcept;

}  // namespace sparkler::MonotonicClock

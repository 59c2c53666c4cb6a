#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "sparkler/SparklerConfiguration.h"

namespace sparkler {

/// Hears one download or installation and passes its reports on to a progress callback on
/// the main loop, at most one every kInterval seconds per phase: the first report of a phase
/// and the last one (`final`) always go; those in between only when kInterval has passed on
/// the clock since the last that went. Used by one thread at a time.
class ProgressReporter {
 public:
  static constexpr double kInterval = 0.1;

  ProgressReporter(std::function<void(const SparklerProgress&)> callback,
                   std::function<bool(std::function<void()>)> post, std::function<double()> clock)
      : callback_(std::move(callback)), post_(std::move(post)), clock_(std::move(clock)) {}

  void report(SparklerProgress::Phase phase, std::uint64_t bytes = 0, std::uint64_t expected = 0,
              bool final = false) {
    if (!callback_) return;
    const double now = clock_();
    if (phase == phase_ && started_ && !final && now - last_ < kInterval) return;
    started_ = true;
    phase_ = phase;
    last_ = now;
    post_([callback = callback_, progress = SparklerProgress{phase, bytes, expected}] {
      callback(progress);
    });
  }

 private:
  std::function<void(const SparklerProgress&)> callback_;
  std::function<bool(std::function<void()>)> post_;
  std::function<double()> clock_;
  SparklerProgress::Phase phase_ = SparklerProgress::Phase::Downloading;
  bool started_ = false;
  double last_ = 0;
};

}  // namespace sparkler

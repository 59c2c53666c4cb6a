#pragma once

#include <mutex>

#include "sparkler/MainLoop.h"

namespace sparkler {

/// The main loop over Qt's event loop: posted functions and timers run on the GUI thread of
/// the QCoreApplication. Without an application object, or once closed, they are dropped.
class QtMainLoop final : public MainLoop {
 public:
  void post(std::function<void()> fn) override;
  void postAfter(Seconds delay, std::function<void()> fn) override;

  /// Drops every later post. Called on the GUI thread before the application object goes
  /// away: a worker that took this loop earlier may still post, and once close returns no
  /// post is left touching the application.
  void close();

 private:
  std::mutex mutex_;
  bool closed_ = false;
};

}  // namespace sparkler

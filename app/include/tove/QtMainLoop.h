#pragma once

#include "tove/MainLoop.h"

namespace tove {

/// The main loop over Qt's event loop: posted functions and timers run on the GUI thread of
/// the QCoreApplication. Without an application object they are dropped.
class QtMainLoop final : public MainLoop {
 public:
  void post(std::function<void()> fn) override;
  void postAfter(Seconds delay, std::function<void()> fn) override;
};

}  // namespace tove

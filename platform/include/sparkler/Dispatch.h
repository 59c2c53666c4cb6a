#pragma once

#include <functional>
#include <memory>

#include "sparkler/MainLoop.h"

namespace sparkler::dispatch {

enum class Priority { Low, Default };

/// Runs `fn` on a worker thread of the process-wide pool for `priority` (the low pool's
/// threads run niced). Jobs never wait for each other: a busy pool grows.
void async(Priority priority, std::function<void()> fn);

/// Makes `loop` the main queue's loop; nullptr removes it.
void setMainLoop(std::shared_ptr<MainLoop> loop);

/// The main queue's loop, or nullptr when none is set.
std::shared_ptr<MainLoop> mainLoop();

/// Posts `fn` to the main loop; false (and `fn` dropped) when no main loop is set.
bool asyncMain(std::function<void()> fn);

/// Posts `fn` to the main loop to run after `delay`; false when no main loop is set.
bool afterMain(MainLoop::Seconds delay, std::function<void()> fn);

}  // namespace sparkler::dispatch

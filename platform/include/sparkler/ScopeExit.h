#pragma once

#include <utility>

namespace sparkler {

/// Runs `action` when it goes out of scope, so that every way out of a block does it once.
template <class Action>
class ScopeExit {
 public:
  explicit ScopeExit(Action action) noexcept(noexcept(Action(std::move(action))))
      : action_(std::move(action)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() { action_(); }

 private:
  Action action_;
};

}  // namespace sparkler

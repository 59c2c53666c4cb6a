#include "tove/QuickTask.h"

namespace tove {

int QuickTask::statusOfTask(std::string_view, const std::optional<Arguments>&,
                            const std::optional<Input>&, const std::optional<Environment>&,
                            const std::optional<LaunchedFrom>&) noexcept {
  return 1;
}

std::optional<std::string> QuickTask::outputOfTask(std::string_view,
                                                   const std::optional<Arguments>&,
                                                   const std::optional<Input>&, bool) noexcept {
  return std::nullopt;
}

std::optional<std::string> QuickTask::outputOfTask(std::string_view, const Arguments&,
                                                   const SearchingForPattern&,
                                                   const Reject&) noexcept {
  return std::nullopt;
}

std::optional<std::string> QuickTask::input() noexcept {
  return std::nullopt;
}

std::optional<std::string> QuickTask::stringInput() noexcept {
  return std::nullopt;
}

}  // namespace tove

// The shorter entry points: each makes exactly one call to its workhorse (or to the
// four-argument status form) with the defaults its family fixes, and passes the result on.
#include "sparkler/QuickTask.h"

namespace sparkler {

int QuickTask::statusOfTask(std::string_view task, const std::optional<Arguments>& arguments,
                            const std::optional<Input>& input,
                            const std::optional<Environment>& environment) noexcept {
  return statusOfTask(task, arguments, input, environment, std::nullopt);
}

int QuickTask::statusOfTask(std::string_view task) noexcept {
  return statusOfTask(task, std::nullopt, std::nullopt, std::nullopt);
}

int QuickTask::statusOfTask(std::string_view task, const Arguments& arguments) noexcept {
  return statusOfTask(task, arguments, std::nullopt, std::nullopt);
}

int QuickTask::statusOfTask(std::string_view task, const Input& input) noexcept {
  return statusOfTask(task, std::nullopt, input, std::nullopt);
}

int QuickTask::statusOfTask(std::string_view task, const Arguments& arguments,
                            const Input& input) noexcept {
  return statusOfTask(task, arguments, input, std::nullopt);
}

bool QuickTask::executeTask(std::string_view task) noexcept {
  return statusOfTask(task, std::nullopt, std::nullopt, std::nullopt) == 0;
}

bool QuickTask::executeTask(std::string_view task, const Arguments& arguments) noexcept {
  return statusOfTask(task, arguments, std::nullopt, std::nullopt) == 0;
}

bool QuickTask::executeTask(std::string_view task, const Input& input) noexcept {
  return statusOfTask(task, std::nullopt, input, std::nullopt) == 0;
}

bool QuickTask::executeTask(std::string_view task, const Arguments& arguments,
                            const Input& input) noexcept {
  return statusOfTask(task, arguments, input, std::nullopt) == 0;
}

bool QuickTask::executeTask(std::string_view task, const Arguments& arguments,
                            const Environment& environment) noexcept {
  return statusOfTask(task, arguments, std::nullopt, environment) == 0;
}

bool QuickTask::executeTask(std::string_view task, const LaunchedFrom& launchedFrom) noexcept {
  return statusOfTask(task, std::nullopt, std::nullopt, std::nullopt, launchedFrom) == 0;
}

bool QuickTask::executeTask(std::string_view task, const Arguments& arguments,
                            const LaunchedFrom& launchedFrom) noexcept {
  return statusOfTask(task, arguments, std::nullopt, std::nullopt, launchedFrom) == 0;
}

bool QuickTask::executeTask(std::string_view task, const Input& input,
                            const LaunchedFrom& launchedFrom) noexcept {
  return statusOfTask(task, std::nullopt, input, std::nullopt, launchedFrom) == 0;
}

bool QuickTask::executeTask(std::string_view task, const Arguments& arguments, const Input& input,
                            const LaunchedFrom& launchedFrom) noexcept {
  return statusOfTask(task, arguments, input, std::nullopt, launchedFrom) == 0;
}

bool QuickTask::executeTask(std::string_view task, const Arguments& arguments,
                            const Environment& environment,
                            const LaunchedFrom& launchedFrom) noexcept {
  return statusOfTask(task, arguments, std::nullopt, environment, launchedFrom) == 0;
}

std::optional<std::string> QuickTask::outputOfTask(std::string_view task) noexcept {
  return outputOfTask(task, std::nullopt, std::nullopt, true);
}

std::optional<std::string> QuickTask::outputOfTask(std::string_view task,
                                                   const Arguments& arguments) noexcept {
  return outputOfTask(task, arguments, std::nullopt, true);
}

std::optional<std::string> QuickTask::outputOfTask(std::string_view task,
                                                   const Input& input) noexcept {
  return outputOfTask(task, std::nullopt, input, true);
}

std::optional<std::string> QuickTask::outputOfTask(std::string_view task,
                                                   const Arguments& arguments,
                                                   const Input& input) noexcept {
  return outputOfTask(task, arguments, input, true);
}

std::optional<std::string> QuickTask::outputOfTask(std::string_view task, bool trimmed) noexcept {
  return outputOfTask(task, std::nullopt, std::nullopt, trimmed);
}

std::optional<std::string> QuickTask::outputOfTask(std::string_view task,
                                                   const Arguments& arguments,
                                                   bool trimmed) noexcept {
  return outputOfTask(task, arguments, std::nullopt, trimmed);
}

std::optional<std::string> QuickTask::outputOfTask(std::string_view task, const Input& input,
                                                   bool trimmed) noexcept {
  return outputOfTask(task, std::nullopt, input, trimmed);
}

std::optional<std::string> QuickTask::outputOfTask(std::string_view task,
                                                   const SearchingForPattern& pattern,
                                                   const Reject& reject) noexcept {
  return outputOfTask(task, Arguments{}, pattern, reject);
}

}  // namespace sparkler

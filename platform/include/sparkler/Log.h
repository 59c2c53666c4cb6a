#pragma once

#include <functional>
#include <string_view>

namespace sparkler::Log {

/// How much a line matters; the system log files it under the matching syslog priority.
enum class Severity { error, warning, notice };

/// Writes one plain line of `severity` to the system log (syslog) and to standard error, with
/// no prefix of our own. Safe from any thread.
void write(Severity severity, std::string_view text) noexcept;

/// A line about normal work (Severity::notice).
inline void line(std::string_view text) noexcept {
  write(Severity::notice, text);
}
/// A line about a failure (Severity::error).
inline void error(std::string_view text) noexcept {
  write(Severity::error, text);
}
/// A line about something wrong that the work survived (Severity::warning).
inline void warning(std::string_view text) noexcept {
  write(Severity::warning, text);
}

/// Also hands every line to `sink` (tests read the log through it); an empty function
/// removes it.
void setSink(std::function<void(std::string_view)> sink);

}  // namespace sparkler::Log

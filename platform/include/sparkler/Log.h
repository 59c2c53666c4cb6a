#pragma once

#include <functional>
#include <string_view>

namespace sparkler::Log {

/// How much a line matters; the system log files it under the matching syslog priority.
enum class Severity { error, warning, notice };

/// Writes one plain line of `severity` to the system log (syslog) and to standard error, with
/// no prefix of our own; only to the system log when standard error is the journal itself
/// ($JOURNAL_STREAM names it), so that the line is not recorded twice. Safe from any thread.
void write(Severity severity, std::string_view text) noexcept;

/// Names the program in the system log (its syslog identifier), such as the bundle's
/// CFBundleIdentifier; meant to be called once at start. Until then, and after an empty
/// identity, lines go under the program's name.
void setIdentity(std::string_view identity) noexcept;

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

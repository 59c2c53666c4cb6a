#pragma once

#include <functional>
#include <string_view>

namespace sparkler::Log {

/// Writes one plain line to the system log (syslog) and to standard error, with no level
/// and no prefix of our own. Safe from any thread.
void line(std::string_view text) noexcept;

/// Also hands every line to `sink` (tests read the log through it); an empty function
/// removes it.
void setSink(std::function<void(std::string_view)> sink);

}  // namespace sparkler::Log

#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace sparkler::Files {

/// The whole of the regular file at `path`, read with plain read(2) (a /proc file whose
/// process ends meanwhile gives an error, not an exception). A symbolic link at `path` is
/// not followed and a FIFO is not opened for reading. nullopt, with the cause in `error`
/// when given, for anything else or when the file holds more than `maxBytes` (EFBIG).
std::optional<std::string> readFile(const std::string& path, std::size_t maxBytes,
                                    std::error_code* error = nullptr);

/// What `fd` gives until end of file; nullopt, with the cause in `error` when given, on a
/// read error or past `maxBytes` (EFBIG).
std::optional<std::string> readAll(int fd, std::size_t maxBytes, std::error_code* error = nullptr);

/// Writes all of `data` to `fd`, retrying short and interrupted writes; false with errno set
/// on failure.
bool writeAll(int fd, std::string_view data) noexcept;

/// Puts a file holding `data`, with mode `mode`, at `path` in one
/// step: written to a new file beside it, flushed to disk, renamed over `path`, and the
/// folder flushed. Readers see the old file or the whole new one, never a part; on failure
/// the old file is left as it was and the new one removed. The errno code on failure.
std::error_code writeAtomically(const std::string& path, std::string_view data,
                                unsigned mode = 0600) noexcept;

}  // namespace sparkler::Files

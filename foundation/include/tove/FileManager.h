#pragma once

#include <string_view>
#include <system_error>

namespace tove::FileManager {

/// Puts a copy of the item at `newPath` (file, link or folder tree) where `oldPath` stands.
/// Both paths must begin with "/": otherwise false, nothing touched, `error` not written.
/// The copy is made beside the old item first and swapped in, so a failed copy leaves the
/// old item as it was; a missing old item counts as removed. On failure `error` (when not
/// null) receives the cause.
bool replaceItemAtPath(std::string_view oldPath, std::string_view newPath,
                       std::error_code* error) noexcept;

}  // namespace tove::FileManager

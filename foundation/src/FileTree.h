#pragma once

// Descriptor-relative helpers for walking and removing trees that may hold planted links.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <system_error>

#include "sparkler/FileDescriptor.h"

namespace sparkler::FileManager::detail {

/// The current errno as a code of the generic category.
std::error_code lastError() noexcept;

/// Which file an item is, to notice one item taking another's place.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const Identity&) const = default;
};
inline Identity identityOf(const struct stat& info) noexcept {
  return {info.st_dev, info.st_ino};
}

/// Opens the folder `name` in `parent` without following a link; a folder its owner
/// may not read (0000, 0300...) is first given owner read, write and search. -1 and errno
/// on failure.
int openFolderForRemoval(int parent, const char* name) noexcept;

/// Removes the item `name` in `parent` with everything in it, following no link and making
/// read-only folders writable first. A missing item counts as removed. Folders nested more
/// than kDepthCeiling + 8 deep are left (ELOOP). Returns the first failure.
std::error_code removeTreeAt(int parent, const char* name) noexcept;

/// Removes everything inside the open folder `folder` (not the folder itself).
std::error_code removeContents(int folder) noexcept;

/// `text` fit for one log line: control bytes become '?', and at most `limit` bytes are
/// kept (the end, after "...", since the end of a path names the item).
std::string oneLine(std::string_view text, std::size_t limit = 512);

}  // namespace sparkler::FileManager::detail

#pragma once

#include <sys/types.h>

namespace sparkler::FileSystem {

/// Swaps the items `first` and `second` of the folder `folder` in one step: the names always
/// hold one of the two. 0, or -1 with errno (EINVAL, ENOSYS or EOPNOTSUPP where the file
/// system cannot exchange names).
int exchangeNames(int folder, const char* first, const char* second) noexcept;

/// Renames `from` to `to` in the folder `folder` unless something stands at `to`. 0, or -1
/// with errno (EEXIST when `to` is taken; EINVAL, ENOSYS or EOPNOTSUPP where the file system
/// cannot promise not to replace).
int renameNoReplace(int folder, const char* from, const char* to) noexcept;

/// Writes to disk everything of the file system that holds `fd`. 0, or -1 with errno.
int syncFileSystem(int fd) noexcept;

/// Sets the mode of the item that the O_PATH descriptor `fd` stands for (fchmod does not
/// take those). 0, or -1 with errno.
int changeModeOfPathDescriptor(int fd, mode_t mode) noexcept;

}  // namespace sparkler::FileSystem

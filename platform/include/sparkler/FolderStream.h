#pragma once

#include <dirent.h>

#include "sparkler/FileDescriptor.h"

namespace sparkler {

/// The entries of an open folder, from its first one.
class FolderStream {
 public:
  /// Reads through a duplicate of `folder`, which stays open and keeps its position.
  explicit FolderStream(int folder) noexcept;
  /// Reads through `folder` itself, closing it with the stream.
  explicit FolderStream(FileDescriptor folder) noexcept;
  ~FolderStream();
  FolderStream(const FolderStream&) = delete;
  FolderStream& operator=(const FolderStream&) = delete;

  /// False, with errno set, when the stream could not be opened.
  explicit operator bool() const noexcept { return stream_ != nullptr; }

  /// The next entry's name, "." and ".." passed over; nullptr at the end (errno 0) or on a
  /// read error (errno set).
  const char* next() noexcept;

  /// The descriptor the stream reads through.
  int fd() const noexcept;

 private:
  DIR* stream_ = nullptr;
};

}  // namespace sparkler

#pragma once

namespace sparkler {

/// An owned file descriptor, closed once: on destruction, on reset() or when another is moved
/// in. -1 when it holds none.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  /// Gives the descriptor up without closing it; -1 when there was none.
  int release() noexcept;
  /// Closes the descriptor held, if any, and holds `fd` instead.
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

}  // namespace sparkler

#include "TreeCopier.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace sparkler::FileManager::detail {
namespace {

// Source data is read in pieces of this size; progress is reported after each.
constexpr std::size_t kBufferSize = 1 << 20;
// As many links as the kernel follows in one path lookup.
constexpr int kMaxLinkHops = 40;

bool allZero(const char* bytes, std::size_t size) {
  return size == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, size - 1) == 0);
}

const char* kindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "an item of unknown type";
}

// Splits a link target into its components, pushed so that the first comes out last.
void pushComponents(std::string_view target, std::vector<std::string>& pending) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= target.size()) {
    const auto slash = target.find('/', start);
    const auto end = slash == std::string_view::npos ? target.size() : slash;
    parts.emplace_back(target.substr(start, end - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

}  // namespace

TreeCopier::TreeCopier(const ReplaceOptions& options, std::optional<Owner> owner)
    : options_(options),
      owner_(owner),
      maxDepth_(options.maxDepth == 0 ? kDepthCeiling : std::min(options.maxDepth, kDepthCeiling)) {
}

std::error_code TreeCopier::fail(std::error_code error, const std::string& why) {
  detail_ = oneLine(path_.empty() ? std::string(".") : path_) + ": " + why;
  return error;
}

std::error_code TreeCopier::failWithErrno(const char* doing) {
  const auto error = lastError();
  return fail(error, std::string(doing) + ": " + error.message());
}

mode_t TreeCopier::finalMode(mode_t mode, bool folder) const {
  mode &= 07777;
  if (!options_.safeModes) return mode;
  mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID | S_ISVTX | S_IWGRP | S_IWOTH);
  mode |= S_IRUSR | S_IWUSR;
  if (folder) mode |= S_IXUSR;
  return mode;
}

std::error_code TreeCopier::setOwnerAndMode(int fd, const struct stat& info, bool folder) {
  // The owner first: changing it clears set-id bits.
  if (owner_ && ::fchown(fd, owner_->user, owner_->group) != 0) {
    return failWithErrno("could not change the owner");
  }
  if (::fchmod(fd, finalMode(info.st_mode, folder)) != 0) {
    return failWithErrno("could not set the mode");
  }
  return {};
}

std::error_code TreeCopier::countItem() {
  if (options_.maxItems != 0 && items_ + 1 > options_.maxItems) {
    return fail(ReplaceError::tooManyItems,
                "the new item holds more than " + std::to_string(options_.maxItems) + " items");
  }
  if (options_.maxDiskBytes != 0 && diskBytes_ + kDiskBlockSize > options_.maxDiskBytes) {
    return fail(ReplaceError::tooLarge, "the copy would take more than " +
                                            std::to_string(options_.maxDiskBytes) + " bytes");
  }
  ++items_;
  diskBytes_ += kDiskBlockSize;
  return {};
}

std::error_code TreeCopier::advance() {
  if (!options_.progress) return {};
  bool goOn = false;
  try {
    goOn = options_.progress(bytesRead_, items_);
  } catch (...) {
    return fail(ReplaceError::cancelled, "the progress report failed");
  }
  return goOn ? std::error_code() : fail(ReplaceError::cancelled, "cancelled");
}

bool TreeCopier::lockTop(int fd, int parent, const char* name) {
  // A clean-up in another process may have locked the new item first (to remove it), or
  // removed it already; then the name is not ours and another is tried.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
  struct stat mine {};
  struct stat there {};
  return ::fstat(fd, &mine) == 0 && ::fstatat(parent, name, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
         identityOf(mine) == identityOf(there);
}

std::error_code TreeCopier::copy(const std::string& source, int parent, const std::string& name) {
  struct stat info {};
  if (::fstatat(AT_FDCWD, source.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return failWithErrno("cannot be read");
  }
  return copyItem(AT_FDCWD, source.c_str(), parent, name.c_str(), info, 0, true);
}

std::error_code TreeCopier::copyItem(int fromFolder, const char* fromName, int toFolder,
                                     const char* toName, const struct stat& info, unsigned depth,
                                     bool isTop) {
  if (S_ISREG(info.st_mode)) return copyFile(fromFolder, fromName, toFolder, toName, info, isTop);
  if (S_ISDIR(info.st_mode)) {
    return copyFolder(fromFolder, fromName, toFolder, toName, info, depth, isTop);
  }
  if (S_ISLNK(info.st_mode)) return copyLink(fromFolder, fromName, toFolder, toName, isTop);
  // Devices, FIFOs and sockets have no place in an application bundle, and opening one
  // could block for ever or act on a device.
  return fail(ReplaceError::unsupportedItem, std::string(kindOf(info.st_mode)) + " is not copied");
}

std::error_code TreeCopier::copyFile(int fromFolder, const char* fromName, int toFolder,
                                     const char* toName, const struct stat& info, bool isTop) {
  if (auto error = countItem()) return error;
  // Non-blocking, so that a FIFO put in the file's place does not hang the open.
  FileDescriptor from(
      ::openat(fromFolder, fromName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!from) return failWithErrno("cannot be read");
  struct stat opened {};
  if (::fstat(from.get(), &opened) != 0) return failWithErrno("cannot be read");
  if (!S_ISREG(opened.st_mode) || identityOf(opened) != identityOf(info)) {
    return fail(std::make_error_code(std::errc::resource_unavailable_try_again),
                "changed while being copied");
  }
  FileDescriptor to(
      ::openat(toFolder, toName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!to) {
    topTaken_ = isTop && errno == EEXIST;
    return failWithErrno("could not be created");
  }
  if (isTop) {
    if (!lockTop(to.get(), toFolder, toName)) {
      topTaken_ = true;
      return fail(std::make_error_code(std::errc::file_exists), "taken by another process");
    }
    topMade_ = true;
  }
  if (auto error = copyData(from.get(), to.get())) return error;
  if (auto error = setOwnerAndMode(to.get(), info, false)) return error;
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  ::futimens(to.get(), times);  // times are kept when possible; not worth failing over
  if (isTop) {
    top_ = std::move(to);
  } else if (::close(to.release()) != 0) {
    return failWithErrno("could not be written");
  }
  return advance();
}

std::error_code TreeCopier::copyData(int from, int to) {
  if (buffer_.empty()) buffer_.resize(kBufferSize);
  char* const buffer = buffer_.data();
  std::uint64_t offset = 0;
  for (bool end = false; !end;) {
    // Whole buffers, so that blocks stay aligned with the file's own blocks.
    std::size_t filled = 0;
    while (filled < kBufferSize) {
      const auto got = ::read(from, buffer + filled, kBufferSize - filled);
      if (got == 0) {
        end = true;
        break;
      }
      if (got < 0) {
        if (errno == EINTR) continue;
        return failWithErrno("cannot be read");
      }
      filled += static_cast<std::size_t>(got);
    }
    // Blocks of zeros are not written: they stay holes, as `cp --sparse=always` leaves them,
    // so that a small image cannot unpack into a disk full of zeros.
    for (std::size_t at = 0; at < filled;) {
      std::size_t block = std::min<std::size_t>(kDiskBlockSize, filled - at);
      if (allZero(buffer + at, block)) {
        at += block;
        continue;
      }
      std::size_t runEnd = at + block;
      while (runEnd < filled) {
        block = std::min<std::size_t>(kDiskBlockSize, filled - runEnd);
        if (allZero(buffer + runEnd, block)) break;
        runEnd += block;
      }
      const std::uint64_t runDisk =
          (runEnd - at + kDiskBlockSize - 1) / kDiskBlockSize * kDiskBlockSize;
      if (options_.maxDiskBytes != 0 && diskBytes_ + runDisk > options_.maxDiskBytes) {
        return fail(ReplaceError::tooLarge, "the copy would take more than " +
                                                std::to_string(options_.maxDiskBytes) + " bytes");
      }
      diskBytes_ += runDisk;
      for (std::size_t written = at; written < runEnd;) {
        const auto put =
            ::pwrite(to, buffer + written, runEnd - written, static_cast<off_t>(offset + written));
        if (put < 0) {
          if (errno == EINTR) continue;
          return failWithErrno("could not be written");
        }
        if (put == 0) {
          errno = ENOSPC;
          return failWithErrno("could not be written");
        }
        written += static_cast<std::size_t>(put);
      }
      at = runEnd;
    }
    offset += filled;
    bytesRead_ += filled;
    if (filled == kBufferSize) {
      if (auto error = advance()) return error;
    }
  }
  // The length, for a file that ends in a hole.
  if (::ftruncate(to, static_cast<off_t>(offset)) != 0)
    return failWithErrno("could not be written");
  return {};
}

std::error_code TreeCopier::copyFolder(int fromFolder, const char* fromName, int toFolder,
                                       const char* toName, const struct stat& info, unsigned depth,
                                       bool isTop) {
  if (depth > maxDepth_) {
    return fail(ReplaceError::tooDeep,
                "folders nested more than " + std::to_string(maxDepth_) + " deep");
  }
  if (auto error = countItem()) return error;
  FileDescriptor from(
      ::openat(fromFolder, fromName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!from) return failWithErrno("cannot be read");
  struct stat opened {};
  if (::fstat(from.get(), &opened) != 0) return failWithErrno("cannot be read");
  if (identityOf(opened) != identityOf(info)) {
    return fail(std::make_error_code(std::errc::resource_unavailable_try_again),
                "changed while being copied");
  }
  // Owner-writable while filling, and private: the final mode is set once the contents are in.
  if (::mkdirat(toFolder, toName, 0700) != 0) {
    topTaken_ = isTop && errno == EEXIST;
    return failWithErrno("could not be created");
  }
  FileDescriptor to(::openat(toFolder, toName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!to) {
    const auto error = failWithErrno("could not be opened");
    topTaken_ = isTop && error == std::errc::no_such_file_or_directory;  // a clean-up took it
    ::unlinkat(toFolder, toName, AT_REMOVEDIR);  // still empty, and not worth keeping
    return error;
  }
  if (isTop) {
    if (!lockTop(to.get(), toFolder, toName)) {
      topTaken_ = true;
      return fail(std::make_error_code(std::errc::file_exists), "taken by another process");
    }
    topMade_ = true;
    struct stat made {};
    if (::fstat(to.get(), &made) != 0) return failWithErrno("could not be opened");
    skip_ = identityOf(made);
  }
  if (auto error = advance()) return error;

  FolderStream stream(std::move(from));
  if (!stream) return failWithErrno("cannot be read");
  const int source = stream.fd();
  const auto copied = eachItem(stream, source, [&](const char* name, const struct stat& child) {
    if (skip_ && identityOf(child) == *skip_) return std::error_code();
    return copyItem(source, name, to.get(), name, child, depth + 1, false);
  });
  if (copied) return copied;
  if (isTop) {
    topIsFolder_ = true;
    topMode_ = finalMode(info.st_mode, true);
    top_ = std::move(to);
    return {};
  }
  return setOwnerAndMode(to.get(), info, true);
}

std::error_code TreeCopier::copyLink(int fromFolder, const char* fromName, int toFolder,
                                     const char* toName, bool isTop) {
  if (auto error = countItem()) return error;
  char target[kLinkLengthCeiling + 1];
  const auto length = ::readlinkat(fromFolder, fromName, target, sizeof target);
  if (length < 0) return failWithErrno("cannot be read");
  if (static_cast<std::size_t>(length) > kLinkLengthCeiling) {
    return fail(
        std::make_error_code(std::errc::filename_too_long),
        "symbolic link target longer than " + std::to_string(kLinkLengthCeiling) + " bytes");
  }
  target[length] = '\0';
  if (options_.linksStayInside && (isTop || target[0] == '/')) {
    return fail(ReplaceError::linkOutside,
                "symbolic link to " + oneLine(target, 256) + " leads outside");
  }
  if (::symlinkat(target, toFolder, toName) != 0) {
    topTaken_ = isTop && errno == EEXIST;
    return failWithErrno("could not be created");
  }
  // A link cannot be opened to be locked; making and swapping one takes a moment only.
  if (isTop) topMade_ = true;
  if (owner_ &&
      ::fchownat(toFolder, toName, owner_->user, owner_->group, AT_SYMLINK_NOFOLLOW) != 0) {
    return failWithErrno("could not change the owner");
  }
  return advance();
}

std::error_code TreeCopier::finishTop() {
  if (!topIsFolder_) return {};
  path_.clear();
  if (owner_ && ::fchown(top_.get(), owner_->user, owner_->group) != 0) {
    return failWithErrno("could not change the owner");
  }
  if (::fchmod(top_.get(), topMode_) != 0) return failWithErrno("could not set the mode");
  return {};
}

std::error_code TreeCopier::checkLinks() {
  if (!options_.linksStayInside || !topIsFolder_) return {};
  path_.clear();
  chain_.clear();
  return walkLinks(top_.get());
}

std::error_code TreeCopier::walkLinks(int folder) {
  FolderStream stream(folder);
  if (!stream) return failWithErrno("cannot be read");
  chain_.push_back(folder);
  const auto walked = eachItem(stream, folder, [&](const char* name, const struct stat& info) {
    if (S_ISLNK(info.st_mode)) return resolveLink(name);
    if (!S_ISDIR(info.st_mode)) return std::error_code();
    FileDescriptor child(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child) return failWithErrno("cannot be read");
    return walkLinks(child.get());
  });
  if (walked) return walked;
  chain_.pop_back();
  return {};
}

template <class Visit>
std::error_code TreeCopier::eachItem(FolderStream& stream, int folder, Visit&& visit) {
  const std::size_t pathLength = path_.size();
  for (;;) {
    const char* name = stream.next();
    if (name == nullptr) {
      if (errno != 0) return failWithErrno("cannot be read");
      return {};
    }
    if (!path_.empty()) path_ += '/';
    path_ += name;
    struct stat info {};
    if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      return failWithErrno("cannot be read");
    }
    if (auto error = visit(name, info)) return error;
    path_.resize(pathLength);
  }
}

// Follows the link the way the kernel would, but only through items of the copy: a lexical
// look at the target is not enough, since a link on the way ("d/s -> ..") can lead out.
std::error_code TreeCopier::resolveLink(const char* name) {
  char buffer[kLinkLengthCeiling + 1];
  auto readTarget = [&buffer](int folder, const char* link) -> std::optional<std::string> {
    const auto length = ::readlinkat(folder, link, buffer, sizeof buffer);
    if (length < 0 || static_cast<std::size_t>(length) > kLinkLengthCeiling) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(length));
  };
  const auto target = readTarget(chain_.back(), name);
  if (!target) return failWithErrno("cannot be read");
  const std::string about = "symbolic link to " + oneLine(*target, 256);
  if (target->empty() || target->front() == '/') {
    return fail(ReplaceError::linkOutside, about + " leads outside");
  }

  // The folders walked through; those opened here are the tail of the stack, in `opened`.
  std::vector<int> stack = chain_;
  std::vector<FileDescriptor> opened;
  std::vector<std::string> pending;
  pushComponents(*target, pending);
  int hops = 1;
  while (!pending.empty()) {
    const std::string component = std::move(pending.back());
    pending.pop_back();
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (stack.size() == 1) return fail(ReplaceError::linkOutside, about + " leads outside");
      if (!opened.empty() && opened.back().get() == stack.back()) opened.pop_back();
      stack.pop_back();
      continue;
    }
    struct stat info {};
    if (::fstatat(stack.back(), component.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return fail(ReplaceError::linkOutside, about + " leads to nothing");
      return failWithErrno("cannot be followed");
    }
    if (S_ISLNK(info.st_mode)) {
      if (++hops > kMaxLinkHops) {
        return fail(ReplaceError::linkOutside,
                    about + " goes through more than " + std::to_string(kMaxLinkHops) + " links");
      }
      const auto next = readTarget(stack.back(), component.c_str());
      if (!next) return failWithErrno("cannot be followed");
      if (next->empty() || next->front() == '/') {
        return fail(ReplaceError::linkOutside, about + " leads outside");
      }
      pushComponents(*next, pending);
    } else if (S_ISDIR(info.st_mode)) {
      FileDescriptor folder(
          ::openat(stack.back(), component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!folder) return failWithErrno("cannot be followed");
      stack.push_back(folder.get());
      opened.push_back(std::move(folder));
    } else if (!pending.empty()) {
      // "file/more": the kernel answers ENOTDIR.
      return fail(ReplaceError::linkOutside, about + " leads to nothing");
    }
  }
  return {};
}

}  // namespace sparkler::FileManager::detail

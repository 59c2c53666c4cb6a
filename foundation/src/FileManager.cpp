#include "sparkler/FileManager.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "FileTree.h"
#include "TreeCopier.h"
#include "sparkler/FileSystem.h"
#include "sparkler/FolderStream.h"
#include "sparkler/Hex.h"
#include "sparkler/ScopeExit.h"
#include "sparkler/Utf8.h"

namespace sparkler::FileManager {
namespace {

using detail::identityOf;
using detail::lastError;
using detail::oneLine;

// Hidden siblings: ".NAME.tove-XXXXXX" for a copy being made (and, after the exchange, for
// the old item being removed), ".NAME.tove-old-XXXXXX" for an old item set aside where the
// file system cannot exchange two names. NAME is shortened so that both fit in a name.
constexpr std::string_view kCopyTag = ".tove-";
constexpr std::string_view kAsideTag = ".tove-old-";
constexpr std::size_t kSuffixLength = 6;
constexpr std::size_t kNameMax = 255;
constexpr std::size_t kNamePartMax = kNameMax - 1 - kAsideTag.size() - kSuffixLength;
constexpr int kNameAttempts = 16;

class ReplaceCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "replace"; }
  std::string message(int value) const override {
    switch (static_cast<ReplaceError>(value)) {
      case ReplaceError::unsupportedItem:
        return "a device, FIFO or socket in the new item";
      case ReplaceError::tooLarge:
        return "the copy would take more disk space than allowed";
      case ReplaceError::tooManyItems:
        return "the new item holds more items than allowed";
      case ReplaceError::tooDeep:
        return "the new item's folders are nested deeper than allowed";
      case ReplaceError::linkOutside:
        return "a symbolic link in the new item leads outside it";
      case ReplaceError::rejected:
        return "the copy was refused by its validation";
      case ReplaceError::cancelled:
        return "the replacement was cancelled";
    }
    return "unknown replacement error " + std::to_string(value);
  }
  std::error_condition default_error_condition(int value) const noexcept override {
    switch (static_cast<ReplaceError>(value)) {
      case ReplaceError::unsupportedItem:
        return std::errc::operation_not_supported;
      case ReplaceError::cancelled:
        return std::errc::operation_canceled;
      default:
        return {value, *this};
    }
  }
};

std::string randomSuffix() {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[kSuffixLength] = {};
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // Uniqueness, not secrecy, is needed here; the creation is exclusive anyway.
    static unsigned counter = 0;
    const auto seed = static_cast<unsigned>(getpid()) * 2654435761u + ++counter;
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(seed >> i);
  }
  std::string suffix;
  for (const auto byte : bytes) suffix += kLetters[byte % (sizeof kLetters - 1)];
  return suffix;
}

// The old item's name as it appears in its siblings' names. A long one keeps its beginning
// and a hash of the whole, so that two long names with the same beginning stay apart.
std::string namePart(std::string_view name) {
  if (name.size() <= kNamePartMax) return std::string(name);
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (const char c : name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(hash >> 24), static_cast<unsigned char>(hash >> 16),
      static_cast<unsigned char>(hash >> 8), static_cast<unsigned char>(hash)};
  const std::size_t keep = Utf8::boundaryAtOrBefore(name, kNamePartMax - 9);
  return std::string(name.substr(0, keep)) + "~" + Hex::encode(bytes, sizeof bytes);
}

std::string siblingPrefix(std::string_view name, std::string_view tag) {
  return "." + namePart(name) + std::string(tag);
}

bool isSiblingName(std::string_view entry, std::string_view prefix) {
  if (entry.size() != prefix.size() + kSuffixLength || entry.substr(0, prefix.size()) != prefix) {
    return false;
  }
  for (const char c : entry.substr(prefix.size())) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!letter) return false;
  }
  return true;
}

// Splits "/a/b/c" (trailing separators ignored) into "/a/b" and "c". Nothing to split for
// "/" or a last component of "." or "..", which do not name an item that can be replaced.
bool splitPath(std::string path, std::string& folder, std::string& name) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  name = path.substr(slash + 1);
  folder = slash == 0 ? std::string("/") : path.substr(0, slash);
  return !name.empty() && name != "." && name != "..";
}

bool missing(int folder, const std::string& name) {
  struct stat info {};
  return ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

// Renames without replacing what stands at `to`; plain rename where the file system cannot
// promise that.
int renameNoReplace(int folder, const std::string& from, const std::string& to) {
  if (FileSystem::renameNoReplace(folder, from.c_str(), to.c_str()) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
  if (!missing(folder, to)) {
    errno = EEXIST;
    return -1;
  }
  return ::renameat(folder, from.c_str(), folder, to.c_str());
}

// Locks the item `name` in `folder` as a replacement's own, when it is a file or a folder
// this process can open; an empty descriptor otherwise.
FileDescriptor lockItem(int folder, const std::string& name, bool forRemoval) {
  struct stat info {};
  if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return {};
  FileDescriptor fd;
  if (S_ISDIR(info.st_mode)) {
    fd = FileDescriptor(forRemoval ? detail::openFolderForRemoval(folder, name.c_str())
                                   : ::openat(folder, name.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  } else if (S_ISREG(info.st_mode)) {
    fd = FileDescriptor(
        ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  }
  if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return {};
  struct stat locked {};
  struct stat there {};
  if (::fstat(fd.get(), &locked) != 0 ||
      ::fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
      identityOf(locked) != identityOf(there)) {
    return {};
  }
  return fd;
}

// Removes (or, for a set-aside old item whose place is empty, puts back) one hidden sibling
// whose replacement is gone. A file or folder that another replacement holds locked is kept;
// a link cannot be locked and is only ever a copy for a moment, so it goes.
bool removeAbandoned(int folder, const std::string& entry, const std::string& name, bool aside) {
  struct stat info {};
  if (::fstatat(folder, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  FileDescriptor lock;
  if (S_ISDIR(info.st_mode) || S_ISREG(info.st_mode)) {
    lock = lockItem(folder, entry, true);
    if (!lock) return false;
  }
  if (aside && missing(folder, name)) return renameNoReplace(folder, entry, name) == 0;
  if (S_ISDIR(info.st_mode)) {
    if (detail::removeContents(lock.get())) return false;
    return ::unlinkat(folder, entry.c_str(), AT_REMOVEDIR) == 0;
  }
  return ::unlinkat(folder, entry.c_str(), 0) == 0;
}

std::size_t removeAbandonedIn(int folder, const std::string& name) {
  const std::string copyPrefix = siblingPrefix(name, kCopyTag);
  const std::string asidePrefix = siblingPrefix(name, kAsideTag);
  std::vector<std::pair<std::string, bool>> found;
  FolderStream stream(folder);
  if (!stream) return 0;
  while (const char* entry = stream.next()) {
    const std::string_view entryName = entry;
    if (isSiblingName(entryName, copyPrefix)) found.emplace_back(entryName, false);
    if (isSiblingName(entryName, asidePrefix)) found.emplace_back(entryName, true);
  }
  std::size_t removed = 0;
  for (const auto& [entry, aside] : found) {
    if (removeAbandoned(folder, entry, name, aside)) ++removed;
  }
  return removed;
}

struct Failure {
  std::error_code error;
  std::string detail;
};

// Swaps the finished copy `copyName` in for `name`. `leftover` is pointed at whatever must
// go afterwards (the old item, or the copy when nothing was swapped; empty for nothing). `oldLock`
// receives a lock on the old item, to be held until it is gone.
std::error_code swapIn(int folder, const std::string& copyName, const std::string& name,
                       std::string& leftover, FileDescriptor& oldLock) {
  // Locked while it lies under a hidden name, so that a clean-up elsewhere does not take it
  // for abandoned (and put it back) in the moment before it is removed.
  oldLock = lockItem(folder, name, false);

  // The exchange is atomic: the path always holds the old or the new item.
  if (FileSystem::exchangeNames(folder, copyName.c_str(), name.c_str()) == 0) {
    return {};  // `leftover` names the old item now
  }
  const int exchangeError = errno;
  if (exchangeError == ENOENT && missing(folder, name)) {
    // Nothing stands at the old path, which counts as removed.
    if (renameNoReplace(folder, copyName, name) != 0) return lastError();
    leftover.clear();
    return {};
  }
  if (exchangeError != EINVAL && exchangeError != ENOSYS && exchangeError != EOPNOTSUPP) {
    return {exchangeError, std::generic_category()};
  }

  // File systems without exchange: move the old item aside, move the copy in, and put the
  // old item back if that second step fails.
  std::string asideName;
  for (int attempt = 0;; ++attempt) {
    asideName = siblingPrefix(name, kAsideTag) + randomSuffix();
    if (renameNoReplace(folder, name, asideName) == 0) break;
    if (errno != EEXIST || attempt == kNameAttempts) return lastError();
  }
  if (::renameat(folder, copyName.c_str(), folder, name.c_str()) != 0) {
    const auto error = lastError();
    ::renameat(folder, asideName.c_str(), folder, name.c_str());
    return error;
  }
  leftover = asideName;
  return {};
}

std::optional<Failure> replace(const std::string& oldPath, const std::string& newPath,
                               const ReplaceOptions& options) {
  std::string folderPath;
  std::string name;
  if (!splitPath(oldPath, folderPath, name)) {
    return Failure{std::make_error_code(std::errc::invalid_argument),
                   oneLine(oldPath) + ": names no item that can be replaced"};
  }
  const FileDescriptor folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) {
    const auto error = lastError();
    return Failure{error, oneLine(folderPath) + ": " + error.message()};
  }
  removeAbandonedIn(folder.get(), name);

  std::optional<detail::Owner> owner;
  if (options.keepOwner && ::geteuid() == 0) {
    struct stat info {};
    if (::fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 ||
        ::fstat(folder.get(), &info) == 0) {
      owner = detail::Owner{info.st_uid, info.st_gid};
    }
  }

  // 1. A full copy beside the old item, on the same file system, under a fresh hidden name.
  std::optional<detail::TreeCopier> copier;
  std::string copyName;
  std::error_code error;
  for (int attempt = 0;; ++attempt) {
    copyName = siblingPrefix(name, kCopyTag) + randomSuffix();
    copier.emplace(options, owner);
    error = copier->copy(newPath, folder.get(), copyName);
    if (!error || !copier->topTaken() || attempt == kNameAttempts) break;
  }
  FileDescriptor oldLock;  // outlives the removal of the old item below
  // What stands at `leftover` on the way out goes, with everything in it, while the copy's
  // lock is still held.
  std::string leftover = copier->topMade() ? copyName : std::string();
  const ScopeExit removeLeftover([&]() noexcept {
    if (!leftover.empty()) detail::removeTreeAt(folder.get(), leftover.c_str());
  });
  if (error) return Failure{error, copier->detail()};

  // 2. Checks on the finished copy, which nobody else can reach yet.
  if (auto linkError = copier->checkLinks()) return Failure{linkError, copier->detail()};
  if (options.validate) {
    std::optional<std::string> reason;
    const std::string copyPath = (folderPath == "/" ? folderPath : folderPath + "/") + copyName;
    try {
      reason = options.validate(copyPath);
    } catch (...) {
      reason = "the validation failed";
    }
    if (reason) {
      return Failure{ReplaceError::rejected, "the copy was refused: " + oneLine(*reason)};
    }
  }
  if (auto finishError = copier->finishTop()) return Failure{finishError, copier->detail()};

  // 3. Swap it in; the old item goes with `leftover`. The copy's data reach the disk first, so
  // that after a crash the path holds the old item or the whole new one, never files whose
  // data the file system had not written yet; the swap itself is made durable after.
  if (FileSystem::syncFileSystem(folder.get()) != 0) {
    const std::error_code syncError = lastError();
    return Failure{syncError,
                   oneLine(name) + ": cannot write the copy to disk: " + syncError.message()};
  }
  if (auto swapError = swapIn(folder.get(), copyName, name, leftover, oldLock)) {
    return Failure{swapError,
                   oneLine(name) + ": could not swap in the copy: " + swapError.message()};
  }
  ::fsync(folder.get());
  return std::nullopt;
}

}  // namespace

const std::error_category& replaceErrorCategory() noexcept {
  static const ReplaceCategory category;
  return category;
}

std::error_code make_error_code(ReplaceError error) noexcept {
  return {static_cast<int>(error), replaceErrorCategory()};
}

bool replaceItemAtPath(std::string_view oldPath, std::string_view newPath,
                       std::error_code* error) noexcept {
  static const ReplaceOptions kPlain;
  return replaceItemAtPath(oldPath, newPath, kPlain, error, nullptr);
}

bool replaceItemAtPath(std::string_view oldPath, std::string_view newPath,
                       const ReplaceOptions& options, std::error_code* error,
                       std::string* detail) noexcept {
  if (newPath.empty() || newPath.front() != '/') return false;
  if (oldPath.empty() || oldPath.front() != '/') return false;
  std::optional<Failure> failure;
  try {
    failure = replace(std::string(oldPath), std::string(newPath), options);
  } catch (const std::bad_alloc&) {
    failure = Failure{std::make_error_code(std::errc::not_enough_memory), {}};
  } catch (...) {
    failure = Failure{std::make_error_code(std::errc::io_error), {}};
  }
  if (!failure) return true;
  if (error != nullptr) *error = failure->error;
  if (detail != nullptr) {
    try {
      *detail = failure->detail.empty() ? failure->error.message() : failure->detail;
    } catch (...) {
    }
  }
  return false;
}

std::size_t removeAbandonedCopies(std::string_view oldPath) noexcept {
  try {
    std::string folderPath;
    std::string name;
    if (oldPath.empty() || oldPath.front() != '/') return 0;
    if (!splitPath(std::string(oldPath), folderPath, name)) return 0;
    const FileDescriptor folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return 0;
    return removeAbandonedIn(folder.get(), name);
  } catch (...) {
    return 0;
  }
}

}  // namespace sparkler::FileManager

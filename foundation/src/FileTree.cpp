#include "FileTree.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "sparkler/FileManager.h"
#include "sparkler/FileSystem.h"
#include "sparkler/FolderStream.h"

namespace sparkler::FileManager::detail {
namespace {

// Abandoned copies are at most kDepthCeiling deep below their top; the margin covers the
// levels above it. Anything deeper was not made by this copier and is left alone.
constexpr unsigned kRemovalDepthCeiling = kDepthCeiling + 8;

std::error_code removeTreeAtDepth(int parent, const char* name, unsigned depth) noexcept;

std::error_code removeContentsAtDepth(int folder, unsigned depth) noexcept {
  struct stat info {};
  if (::fstat(folder, &info) == 0 && (info.st_mode & S_IRWXU) != S_IRWXU) {
    // Only the owner (or root, who needs none of this) can change it; failing here shows
    // up below as the removal that could not be done.
    ::fchmod(folder, (info.st_mode & 07777) | S_IRWXU);
  }
  // Entries removed while a folder is being read may make the reading skip others, so the
  // folder is read again until a pass finds it empty.
  for (int pass = 0; pass < 4; ++pass) {
    FolderStream stream(folder);
    if (!stream) return lastError();
    bool sawEntry = false;
    std::error_code first;
    while (const char* name = stream.next()) {
      sawEntry = true;
      if (auto error = removeTreeAtDepth(stream.fd(), name, depth + 1); error && !first) {
        first = error;
      }
    }
    if (errno != 0 && !first) first = lastError();
    if (first || !sawEntry) return first;
  }
  return std::make_error_code(std::errc::directory_not_empty);
}

std::error_code removeTreeAtDepth(int parent, const char* name, unsigned depth) noexcept {
  struct stat info {};
  if (::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? std::error_code() : lastError();
  }
  if (!S_ISDIR(info.st_mode)) {
    if (::unlinkat(parent, name, 0) != 0 && errno != ENOENT) return lastError();
    return {};
  }
  if (depth > kRemovalDepthCeiling)
    return std::make_error_code(std::errc::too_many_symbolic_link_levels);
  FileDescriptor folder(openFolderForRemoval(parent, name));
  if (!folder) return errno == ENOENT ? std::error_code() : lastError();
  if (auto error = removeContentsAtDepth(folder.get(), depth)) return error;
  if (::unlinkat(parent, name, AT_REMOVEDIR) != 0 && errno != ENOENT) return lastError();
  return {};
}

}  // namespace

std::error_code lastError() noexcept {
  return {errno, std::generic_category()};
}

int openFolderForRemoval(int parent, const char* name) noexcept {
  // A descriptor of the folder itself first: changing its mode through it cannot reach a
  // link that someone put in the folder's place meanwhile.
  FileDescriptor path(::openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!path) return -1;
  int folder = ::openat(path.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0 || errno != EACCES) return folder;
  struct stat info {};
  if (::fstat(path.get(), &info) != 0) return -1;
  if (FileSystem::changeModeOfPathDescriptor(path.get(), (info.st_mode & 07777) | S_IRWXU) != 0) {
    errno = EACCES;
    return -1;
  }
  return ::openat(path.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

std::error_code removeTreeAt(int parent, const char* name) noexcept {
  return removeTreeAtDepth(parent, name, 0);
}

std::error_code removeContents(int folder) noexcept {
  return removeContentsAtDepth(folder, 0);
}

std::string oneLine(std::string_view text, std::size_t limit) {
  if (limit < 4) limit = 4;
  std::size_t from = 0;
  std::string line;
  if (text.size() > limit) {
    from = text.size() - (limit - 3);
    // Not in the middle of a UTF-8 sequence.
    while (from < text.size() && (static_cast<unsigned char>(text[from]) & 0xC0) == 0x80) ++from;
    line = "...";
  }
  for (std::size_t i = from; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    line += byte < 0x20 || byte == 0x7F ? '?' : text[i];
  }
  return line;
}

}  // namespace sparkler::FileManager::detail

#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "FileTree.h"
#include "sparkler/FileManager.h"
#include "sparkler/FolderStream.h"

namespace sparkler::FileManager::detail {

/// Who the items of a copy are to belong to.
struct Owner {
  uid_t user = 0;
  gid_t group = 0;
};

/// Copies one item (file, link or folder tree) under the bounds of a ReplaceOptions. The
/// tree is walked with descriptor-relative calls that follow no link, files are copied
/// with their holes, and every failure names the item concerned in detail().
class TreeCopier {
 public:
  TreeCopier(const ReplaceOptions& options, std::optional<Owner> owner);

  /// Copies the item at `source` (a link there is copied, not followed) to `name` in the
  /// folder `parent`. The top of the copy is created exclusively and, when it is a file or
  /// a folder, locked with flock before anything goes into it; top() holds that lock. A
  /// copied top folder keeps mode 0700 until finishTop(). On failure the error, with
  /// topTaken() set when `name` was not ours to use (try another), and topMade() telling
  /// whether a partial copy stands at `name`.
  std::error_code copy(const std::string& source, int parent, const std::string& name);

  /// With linksStayInside: every link of the finished copy is relative and resolves inside
  /// it; otherwise linkOutside (or the errno that stopped the check).
  std::error_code checkLinks();

  /// Gives a copied top folder its final mode and owner.
  std::error_code finishTop();

  bool topTaken() const { return topTaken_; }
  bool topMade() const { return topMade_; }
  const FileDescriptor& top() const { return top_; }
  /// One line about the failure: the item (relative to the copy, "." for its top) and why.
  const std::string& detail() const { return detail_; }

 private:
  std::error_code copyItem(int fromFolder, const char* fromName, int toFolder, const char* toName,
                           const struct stat& info, unsigned depth, bool isTop);
  std::error_code copyFile(int fromFolder, const char* fromName, int toFolder, const char* toName,
                           const struct stat& info, bool isTop);
  std::error_code copyFolder(int fromFolder, const char* fromName, int toFolder, const char* toName,
                             const struct stat& info, unsigned depth, bool isTop);
  std::error_code copyLink(int fromFolder, const char* fromName, int toFolder, const char* toName,
                           bool isTop);
  std::error_code copyData(int from, int to);
  std::error_code countItem();
  std::error_code advance();
  bool lockTop(int fd, int parent, const char* name);
  std::error_code setOwnerAndMode(int fd, const struct stat& info, bool folder);
  mode_t finalMode(mode_t mode, bool folder) const;

  std::error_code walkLinks(int folder);
  // Calls `visit(name, info)` (info from fstatat, links not followed) for each item of
  // `folder`, read through `stream`, with path_ naming the item meanwhile; the first error
  // ends the walk.
  template <class Visit>
  std::error_code eachItem(FolderStream& stream, int folder, Visit&& visit);
  std::error_code resolveLink(const char* name);

  std::error_code fail(std::error_code error, const std::string& why);
  std::error_code failWithErrno(const char* doing);

  const ReplaceOptions& options_;
  const std::optional<Owner> owner_;
  const unsigned maxDepth_;
  std::uint64_t items_ = 0;
  std::uint64_t diskBytes_ = 0;
  std::uint64_t bytesRead_ = 0;
  std::vector<char> buffer_;
  // The copy's own top, skipped where the source holds it (the old item lying inside the
  // new one), so that the copy does not copy itself.
  std::optional<Identity> skip_;
  FileDescriptor top_;
  bool topIsFolder_ = false;
  mode_t topMode_ = 0;
  bool topTaken_ = false;
  bool topMade_ = false;
  std::string path_;        // of the item being copied, relative to the top
  std::vector<int> chain_;  // folders from the top down to the one whose links are checked
  std::string detail_;
};

}  // namespace sparkler::FileManager::detail

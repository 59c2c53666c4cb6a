#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace sparkler::hdiutil {

/// An image attached at a mount point, as far as it is known.
struct Attachment {
  std::string image;           // the image file; empty when not known
  std::string realMountPoint;  // the mount point without symbolic links
  pid_t daemon = 0;            // the squashfuse serving it, when known; others are looked up
  // Whether the folder at the mount point is removed only when this user owns it: a record
  // of an interrupted attach may name a folder another user had made before us.
  bool folderMustBeOurs = true;
};

/// Unmounts attached images and removes their mount point folders.
class Detacher {
 public:
  static constexpr std::chrono::seconds kUnmountLimit{10};
  static constexpr std::chrono::seconds kForceUnmountLimit{5};
  static constexpr std::chrono::seconds kDaemonExitLimit{5};
  static constexpr std::chrono::seconds kKillLimit{3};

  /// Whether `type` is a file system the tool mounts images with.
  static bool isDiskImageType(const std::string& type);

  /// Unmounts the image, ends its squashfuse and removes the mount point folder. Without
  /// `force` the file system is unmounted as usual, which fails while it is in use. With
  /// `force` the mounted file system is not touched at all until its daemon is gone: the
  /// daemon is killed first (so that readers blocked on the mount fail at once), then the
  /// mount is lazily unmounted. nullopt on success (nothing of the image is mounted and the
  /// folder is gone); otherwise a few words saying why not.
  static std::optional<std::string> detach(const Attachment& attachment, bool force);

  /// detach() without removing the mount point folder.
  static std::optional<std::string> release(const Attachment& attachment, bool force);

  /// Removes the empty mount point folder, when it is still there (and, as asked, ours);
  /// nullopt on success, else why not.
  static std::optional<std::string> removeFolder(const Attachment& attachment);
};

}  // namespace sparkler::hdiutil

#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sparkler::hdiutil {

/// Where the tool keeps its records and mount points for the user who runs it.
///
/// Root keeps records in /run/tove-hdiutil and mounts below the shared /Volumes. Another user
/// mounts below /Volumes too when it is there and fit for them (see MountPoints::prepareFolder)
/// and writable; otherwise in a folder of their own, "Volumes" in their runtime folder, which
/// file browsers do not show and which is emptied when they log out. Their records live in
/// the runtime folder as well.
class UserFolders {
 public:
  /// The shared folder of mount points.
  static constexpr char kSharedVolumes[] = "/Volumes";

  /// $XDG_RUNTIME_DIR when it is an absolute path to a folder (not a symbolic link) of this
  /// user that nobody else may enter (mode 0700); nullopt otherwise.
  static std::optional<std::string> runtime();

  /// The folder of records: $SPARKLER_HDIUTIL_STATE when set, else /run/tove-hdiutil for
  /// root, else <runtime>/tove-hdiutil, else /tmp/tove-hdiutil-<uid>.
  static std::string records();

  /// This user's own folder of mount points: <runtime>/Volumes, else
  /// /tmp/tove-hdiutil-<uid>/Volumes.
  static std::string privateVolumes();

  /// Makes `folder` and the folder holding it, when missing, as folders only this user may
  /// enter, and checks that both are this user's and writable by nobody else; nullopt when
  /// they are, else one line saying why not.
  static std::optional<std::string> makePrivate(const std::string& folder);
};

}  // namespace sparkler::hdiutil

#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace sparkler::hdiutil {

/// Names and folders of mount points. The folder of mount points (/Volumes) may be shared by
/// every user, as /tmp is, so another user can create names in it before us: a mount point
/// is always a folder this tool has just created itself, never one that was already there.
class MountPoints {
 public:
  /// The longest file name, in bytes, that a mount point may have.
  static constexpr std::size_t kMaxName = 255;

  /// The volume name of `image`: its file name without the extension, with line breaks,
  /// control characters and invalid UTF-8 replaced by '_' and no white space at its end;
  /// "Untitled" when nothing is left.
  static std::string volumeName(const std::string& image);

  /// `name` cut at a UTF-8 character boundary, without white space at its end, so that
  /// `reserve` more bytes still fit in kMaxName bytes.
  static std::string fit(const std::string& name, std::size_t reserve);

  /// The `attempt`-th name to try for a volume named `name` (from 0): the plain name, then a
  /// few numbered ones ("Name 1"), then names with an unpredictable suffix; nullopt past the
  /// last attempt, or with `error` set when no random bytes could be had. Every name fits
  /// kMaxName bytes.
  static std::optional<std::string> candidate(const std::string& name, int attempt,
                                              std::string& error);

  /// Makes the folder of mount points when it is missing (the default /Volumes sticky and
  /// writable by all, a folder named by the environment as a plain folder of the user), and
  /// checks that it is fit to create mount points in: a real folder (not a symbolic link),
  /// owned by root or by this user, and sticky if others may write into it. nullopt when it
  /// is fit; otherwise one line saying why not.
  static std::optional<std::string> prepareFolder(const std::string& volumes, bool shared);
};

}  // namespace sparkler::hdiutil

#pragma once

#include <optional>
#include <string>

namespace sparkler::hdiutil {

/// Reads the superblock at the start of a squashfs image and checks that it describes an
/// image that can be mounted: the "hsqs" signature, format 4.0, a sane block size and
/// compressor, tables that lie inside the file.
class SquashfsSuperblock {
 public:
  /// nullopt when the image looks sound; otherwise one line saying what is wrong with it
  /// ("not a squashfs image", "corrupt image: ...", a read error).
  static std::optional<std::string> problemWithImage(const std::string& path);
};

}  // namespace sparkler::hdiutil

#include "MountTable.h"

#include <fstream>
#include <sstream>

namespace sparkler::hdiutil {
namespace {

// The kernel writes space, tab, line feed and backslash in mount points as \ooo.
std::string unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

}  // namespace

bool MountTable::isMountPoint(const std::string& path) {
  return typeAt(path).has_value();
}

std::optional<std::string> MountTable::typeAt(const std::string& path) {
  std::ifstream table("/proc/self/mountinfo");
  std::optional<std::string> type;
  std::string line;
  // Later lines are mounted over earlier ones: the last line for the path is the top.
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint, field;
    if (!(fields >> id >> parent >> device >> root >> mountPoint)) continue;
    if (unescape(mountPoint) != path) continue;
    // Optional fields end with a lone "-"; the type follows it.
    while (fields >> field && field != "-") {
    }
    std::string fileSystem;
    type = fields >> fileSystem ? unescape(fileSystem) : std::string();
  }
  return type;
}

bool MountTable::isDiskImageType(const std::string& type) {
  return type == "squashfs" || type == "fuse.squashfuse" || type == "fuse.squashfuse_ll";
}

}  // namespace sparkler::hdiutil

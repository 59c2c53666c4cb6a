#include "sparkler/MountTable.h"

#include <fstream>
#include <sstream>

namespace sparkler::MountTable {
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

std::vector<Mount> mounts() {
  std::vector<Mount> found;
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint, field;
    if (!(fields >> id >> parent >> device >> root >> mountPoint)) continue;
    // Optional fields end with a lone "-"; the type follows it.
    while (fields >> field && field != "-") {
    }
    std::string type;
    found.push_back({unescape(mountPoint), fields >> type ? unescape(type) : std::string()});
  }
  return found;
}

std::optional<std::string> typeAt(const std::string& path) {
  std::optional<std::string> type;
  // The last line for the path is the top.
  for (auto& mount : mounts()) {
    if (mount.mountPoint == path) type = std::move(mount.type);
  }
  return type;
}

bool isMountPoint(const std::string& path) {
  return typeAt(path).has_value();
}

}  // namespace sparkler::MountTable

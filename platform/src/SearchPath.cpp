#include "sparkler/SearchPath.h"

#include <unistd.h>

#include <cstdlib>

namespace sparkler::SearchPath {

std::optional<std::string> find(std::string_view name, std::string_view moreFolders) {
  if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
  std::string folders;
  if (const char* path = std::getenv("PATH")) folders = path;
  folders += ':';
  folders += moreFolders;
  std::string_view rest = folders;
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    const std::string_view folder = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (folder.empty() || folder.front() != '/') continue;
    std::string candidate(folder);
    candidate += '/';
    candidate += name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

}  // namespace sparkler::SearchPath

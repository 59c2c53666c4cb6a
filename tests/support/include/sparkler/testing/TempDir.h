#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sparkler::testing {

/// A new empty folder in the system's temporary folder, removed with its contents on
/// destruction. path() is empty when it could not be made.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "tove-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

/// The whole contents of the file at `path`; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

/// Writes `contents` to `path`, creating its folders; false when it could not.
bool writeFile(const std::filesystem::path& path, std::string_view contents);

}  // namespace sparkler::testing

#pragma once

#include <filesystem>
#include <string_view>

namespace tove::testing {

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

}  // namespace tove::testing

#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sparkler/testing/TempDir.h"

namespace sparkler::testing {

/// Points HOME, XDG_DATA_HOME and TMPDIR at new folders inside a temporary folder for its
/// lifetime, and restores them (and removes everything) on destruction. Not thread-safe:
/// make it while no other thread reads the environment.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  std::filesystem::path home() const { return dir_.path() / "home"; }
  std::filesystem::path dataHome() const { return home() / ".local" / "share"; }
  std::filesystem::path temporary() const { return dir_.path() / "tmp"; }

 private:
  TempDir dir_;
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

}  // namespace sparkler::testing

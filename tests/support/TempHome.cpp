#include "tove/testing/TempHome.h"

#include <cstdlib>

namespace tove::testing {
namespace {

std::optional<std::string> get(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void restore(const char* name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

}  // namespace

TempHome::TempHome()
    : dir_("tove-home"),
      savedHome_(get("HOME")),
      savedDataHome_(get("XDG_DATA_HOME")),
      savedTemporary_(get("TMPDIR")) {
  std::error_code error;
  std::filesystem::create_directories(dataHome(), error);
  std::filesystem::create_directories(temporary(), error);
  ::setenv("HOME", home().c_str(), 1);
  ::setenv("XDG_DATA_HOME", dataHome().c_str(), 1);
  ::setenv("TMPDIR", temporary().c_str(), 1);
}

TempHome::~TempHome() {
  restore("HOME", savedHome_);
  restore("XDG_DATA_HOME", savedDataHome_);
  restore("TMPDIR", savedTemporary_);
}

}  // namespace tove::testing

#include "sparkler/testing/TempHome.h"

#include <cstdlib>

namespace sparkler::testing {

TempHome::TempHome() : dir_("tove-home") {
  std::error_code error;
  std::filesystem::create_directories(dataHome(), error);
  std::filesystem::create_directories(temporary(), error);
  for (const auto& [name, value] :
       {std::pair{"HOME", home()}, {"XDG_DATA_HOME", dataHome()}, {"TMPDIR", temporary()}}) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    ::setenv(name, value.c_str(), 1);
  }
}

TempHome::~TempHome() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
}

}  // namespace sparkler::testing

#include "tove/Folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <regex>
#include <set>
#include <string>

namespace tove {
namespace {

// Sets an environment variable for one test and puts the old value back afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value == nullptr) {
      unsetenv(name);
    } else {
      setenv(name, value, 1);
    }
  }
  ~ScopedEnvironment() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(Folders, HomeComesFromTheEnvironmentElseThePasswordDatabase) {
  {
    ScopedEnvironment home("HOME", "/tmp/tove-home/");
    EXPECT_EQ(Folders::home(), "/tmp/tove-home");
  }
  ScopedEnvironment home("HOME", nullptr);
  EXPECT_TRUE(Folders::home().is_absolute());
}

TEST(Folders, TemporaryHasNoTrailingSeparator) {
  {
    ScopedEnvironment tmp("TMPDIR", "/var/tmp/");
    EXPECT_EQ(Folders::temporary(), "/var/tmp");
  }
  ScopedEnvironment tmp("TMPDIR", "");
  EXPECT_EQ(Folders::temporary(), "/tmp");
}

TEST(Folders, UserDataTakesOnlyAnAbsoluteXdgDataHome) {
  ScopedEnvironment home("HOME", "/tmp/tove-home");
  {
    ScopedEnvironment data("XDG_DATA_HOME", "/tmp/tove-data");
    EXPECT_EQ(Folders::userData(), "/tmp/tove-data");
  }
  {
    ScopedEnvironment data("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(Folders::userData(), "/tmp/tove-home/.local/share");
  }
  ScopedEnvironment data("XDG_DATA_HOME", nullptr);
  EXPECT_EQ(Folders::userData(), "/tmp/tove-home/.local/share");
}

TEST(Folders, UUIDsAreRandomVersionFourInUpperCase) {
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const auto uuid = Folders::newUUIDString();
    ASSERT_TRUE(std::regex_match(uuid, form)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace tove

#include "sparkler/Folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <string>

#include "sparkler/testing/TempHome.h"

namespace sparkler {
namespace {

TEST(Folders, FollowTheEnvironmentWithoutTrailingSeparatorsOrFallBack) {
  const testing::TempHome temp;  // puts the environment back afterwards
  setenv("HOME", (temp.home().string() + "/").c_str(), 1);
  EXPECT_EQ(Folders::home(), temp.home());
  setenv("TMPDIR", "/var/tmp/", 1);
  EXPECT_EQ(Folders::temporary(), "/var/tmp");
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(Folders::temporary(), "/tmp");
  setenv("XDG_DATA_HOME", "/var/data/", 1);
  EXPECT_EQ(Folders::userData(), "/var/data");
  // Only an absolute XDG_DATA_HOME counts.
  setenv("XDG_DATA_HOME", "relative/data", 1);
  EXPECT_EQ(Folders::userData(), temp.dataHome());
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(Folders::userData(), temp.dataHome());
  unsetenv("HOME");  // then the password database tells
  EXPECT_TRUE(Folders::home().is_absolute());
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
}  // namespace sparkler

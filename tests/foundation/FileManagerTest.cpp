#include "tove/FileManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "tove/testing/TempDir.h"

namespace tove {
namespace {

namespace fs = std::filesystem;

// Every item under a root with its type, mode and contents (or link target), so that two
// trees can be compared byte for byte.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  auto describe = [](const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::string("missing");
    std::ostringstream text;
    text << std::oct << info.st_mode << ' ';
    if (S_ISLNK(info.st_mode)) text << "-> " << fs::read_symlink(path).string();
    if (S_ISREG(info.st_mode)) text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  };
  std::map<std::string, std::string> items{{".", describe(root)}};
  std::error_code error;
  if (!fs::is_directory(fs::symlink_status(root, error))) return items;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    items[fs::relative(entry.path(), root).string()] = describe(entry.path());
  }
  return items;
}

void write(const fs::path& path, const std::string& text, int mode = 0644) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, fs::perms(mode));
}

class ReplaceItem : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    write(old_ / "MacOS" / "Tove", "old executable", 0755);
    write(old_ / "Info.plist", "old plist");
    write(old_ / "Resources" / "only-in-old.txt", "gone after the replacement");
    write(new_ / "MacOS" / "Tove", std::string(300000, 'x') + "new executable", 0755);
    write(new_ / "Info.plist", "new plist", 0600);
    write(new_ / "Resources" / "Scripts" / "bounce.sh", "#!/bin/sh\n", 0750);
    fs::create_directory_symlink("Resources/Scripts", new_ / "Scripts");
    fs::create_symlink("does-not-exist", new_ / "dangling");
    fs::create_directories(new_ / "Empty");
  }

  // A failed copy must leave the old item as it was and nothing beside it.
  void expectRefused(const fs::path& newPath) {
    const auto before = snapshot(old_.parent_path());
    std::error_code error;
    EXPECT_FALSE(FileManager::replaceItemAtPath(old_.string(), newPath.string(), &error));
    EXPECT_TRUE(error) << newPath;
    EXPECT_EQ(snapshot(old_.parent_path()), before);
  }

  testing::TempDir dir_{"tove-replace"};
  const fs::path old_ = dir_.path() / "place" / "Contents";
  const fs::path new_ = dir_.path() / "image" / "Tove.app" / "Contents";
};

TEST_F(ReplaceItem, RefusesRelativeOrEmptyPathsWithoutTouchingAnything) {
  const auto before = snapshot(old_.parent_path());
  const std::error_code sentinel = std::make_error_code(std::errc::interrupted);
  for (const auto& [oldPath, newPath] : {std::pair<std::string, std::string>{old_, "relative/new"},
                                         {"relative/old", new_},
                                         {old_, ""},
                                         {"", new_}}) {
    std::error_code error = sentinel;
    EXPECT_FALSE(FileManager::replaceItemAtPath(oldPath, newPath, &error));
    EXPECT_EQ(error, sentinel);
  }
  EXPECT_EQ(snapshot(old_.parent_path()), before);
}

TEST_F(ReplaceItem, CopiesAnyItemTypeWithModesAndLinksOverAnyOrNothing) {
  const auto source = snapshot(new_);
  // Through "..", a trailing separator and a null error slot.
  const auto indirect = dir_.path() / "image" / ".." / "image" / "Tove.app" / "Contents";
  ASSERT_TRUE(FileManager::replaceItemAtPath(old_.string() + "/", indirect.string(), nullptr));
  EXPECT_EQ(snapshot(old_), source);
  EXPECT_EQ(snapshot(new_), source);  // the new item is only read
  const auto file = new_ / "Info.plist";
  std::error_code error;
  ASSERT_TRUE(FileManager::replaceItemAtPath(old_.string(), file.string(), &error)) << error;
  EXPECT_EQ(snapshot(old_), snapshot(file));
  ASSERT_TRUE(FileManager::replaceItemAtPath(old_.string(), new_.string(), &error)) << error;
  EXPECT_EQ(snapshot(old_), source);
  const auto fresh = old_.parent_path() / "Fresh";
  ASSERT_TRUE(FileManager::replaceItemAtPath(fresh.string(), new_.string(), &error)) << error;
  EXPECT_EQ(snapshot(fresh), source);
  // No temporary sibling is left beside them.
  EXPECT_EQ(std::distance(fs::directory_iterator(old_.parent_path()), {}), 2);
}

TEST_F(ReplaceItem, CopiesAFolderThatHoldsTheOldItemWithoutRecursingIntoTheCopy) {
  const auto inner = new_ / "Resources" / "Current";
  write(inner / "file", "inner");
  ASSERT_TRUE(FileManager::replaceItemAtPath(inner.string(), new_.string(), nullptr));
  EXPECT_TRUE(fs::exists(inner / "MacOS" / "Tove"));
  EXPECT_TRUE(fs::exists(inner / "Resources" / "Current" / "file"));
  EXPECT_FALSE(fs::exists(inner / "Resources" / "Current" / "Resources"));
}

TEST_F(ReplaceItem, AFailedCopyLeavesTheOldItemAsItWas) {
  expectRefused(dir_.path() / "image" / "Missing");
  // A FIFO is refused even for root, and is reached only after much of the tree is copied.
  ASSERT_EQ(mkfifo((new_ / "Resources" / "Scripts" / "zz-pipe").c_str(), 0644), 0);
  expectRefused(new_);
}

TEST_F(ReplaceItem, AnUnreadableItemInsideTheNewTreeLeavesTheOldItemAsItWas) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files and folders whatever their mode";
  for (const auto& unreadable : {new_ / "Info.plist", new_ / "Resources"}) {
    fs::permissions(unreadable, fs::perms::none);
    expectRefused(new_);
    fs::permissions(unreadable, fs::perms::owner_all);
  }
}

}  // namespace
}  // namespace tove

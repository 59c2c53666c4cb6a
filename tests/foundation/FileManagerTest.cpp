#include "tove/FileManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace tove {
namespace {

namespace fs = std::filesystem;

// Every item under a root with its type, mode and contents (or link target), so that two
// trees can be compared byte for byte.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> items;
  auto describe = [](const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::string("missing");
    std::ostringstream text;
    text << std::oct << (info.st_mode & 0177777) << ' ';
    if (S_ISLNK(info.st_mode)) {
      text << "-> " << fs::read_symlink(path).string();
    } else if (S_ISREG(info.st_mode)) {
      std::ifstream stream(path, std::ios::binary);
      text << stream.rdbuf();
    }
    return text.str();
  };
  items["."] = describe(root);
  std::error_code error;
  if (fs::is_directory(fs::symlink_status(root, error))) {
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      items[fs::relative(entry.path(), root).string()] = describe(entry.path());
    }
  }
  return items;
}

void write(const fs::path& path, const std::string& text, fs::perms mode = fs::perms(0644)) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, mode);
}

class ReplaceItem : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tove-replace-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    place_ = root_ / "place";
    fs::create_directories(place_);
    old_ = place_ / "Contents";
    write(old_ / "MacOS" / "Tove", "old executable", fs::perms(0755));
    write(old_ / "Info.plist", "old plist");
    write(old_ / "Resources" / "only-in-old.txt", "gone after the replacement");
    newItem_ = root_ / "image" / "Tove.app" / "Contents";
    write(newItem_ / "MacOS" / "Tove", std::string(300000, 'x') + "new executable",
          fs::perms(0755));
    write(newItem_ / "Info.plist", "new plist", fs::perms(0600));
    write(newItem_ / "Resources" / "Scripts" / "bounce.sh", "#!/bin/sh\n", fs::perms(0750));
    fs::create_directory_symlink("Resources/Scripts", newItem_ / "Scripts");
    fs::create_symlink("does-not-exist", newItem_ / "dangling");
    fs::create_directories(newItem_ / "Empty");
  }

  void TearDown() override {
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(root_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
      }
    }
    fs::remove_all(root_, ignored);
  }

  // No temporary sibling may be left beside the old item.
  void expectNoLeftovers() {
    for (const auto& entry : fs::directory_iterator(place_)) {
      EXPECT_EQ(entry.path().filename().string().find(".tove-"), std::string::npos) << entry.path();
    }
  }

  fs::path root_, place_, old_, newItem_;
};

TEST_F(ReplaceItem, RefusesRelativeOrEmptyPathsWithoutTouchingAnything) {
  const auto before = snapshot(old_);
  const std::error_code sentinel = std::make_error_code(std::errc::interrupted);
  for (const auto& [oldPath, newPath] : {std::pair<std::string, std::string>{old_, "relative/new"},
                                         {"relative/old", newItem_},
                                         {old_, ""},
                                         {"", newItem_}}) {
    std::error_code error = sentinel;
    EXPECT_FALSE(FileManager::replaceItemAtPath(oldPath, newPath, &error));
    EXPECT_EQ(error, sentinel);
  }
  EXPECT_EQ(snapshot(old_), before);
  expectNoLeftovers();
}

TEST_F(ReplaceItem, CopiesAFolderTreeWithModesAndLinks) {
  const auto source = snapshot(newItem_);
  std::error_code error;
  ASSERT_TRUE(FileManager::replaceItemAtPath(old_.string(), newItem_.string(), &error))
      << error.message();
  EXPECT_EQ(snapshot(old_), source);
  EXPECT_TRUE(fs::is_symlink(old_ / "Scripts"));
  EXPECT_EQ(access((old_ / "MacOS" / "Tove").c_str(), X_OK), 0);
  EXPECT_EQ(snapshot(newItem_), source);  // the new item is only read
  expectNoLeftovers();
}

TEST_F(ReplaceItem, AcceptsDotDotInsideAbsolutePathsAndANullErrorSlot) {
  const auto source = snapshot(newItem_);
  const auto indirect = (root_ / "image" / ".." / "image" / "Tove.app" / "Contents").string();
  ASSERT_TRUE(FileManager::replaceItemAtPath(old_.string() + "/", indirect, nullptr));
  EXPECT_EQ(snapshot(old_), source);
  expectNoLeftovers();
}

TEST_F(ReplaceItem, PutsTheCopyWhereNothingStood) {
  const auto target = place_ / "Fresh";
  ASSERT_TRUE(FileManager::replaceItemAtPath(target.string(), newItem_.string(), nullptr));
  EXPECT_EQ(snapshot(target), snapshot(newItem_));
  expectNoLeftovers();
}

TEST_F(ReplaceItem, ReplacesAcrossItemTypes) {
  const auto file = newItem_ / "Info.plist";
  ASSERT_TRUE(FileManager::replaceItemAtPath(old_.string(), file.string(), nullptr));
  EXPECT_EQ(snapshot(old_), snapshot(file));
  ASSERT_TRUE(FileManager::replaceItemAtPath(old_.string(), newItem_.string(), nullptr));
  EXPECT_EQ(snapshot(old_), snapshot(newItem_));
  expectNoLeftovers();
}

TEST_F(ReplaceItem, CopiesAFolderThatHoldsTheOldItemWithoutRecursingIntoTheCopy) {
  const auto inner = newItem_ / "Resources" / "Current";
  write(inner / "file", "inner");
  ASSERT_TRUE(FileManager::replaceItemAtPath(inner.string(), newItem_.string(), nullptr));
  EXPECT_TRUE(fs::exists(inner / "MacOS" / "Tove"));
  EXPECT_TRUE(fs::exists(inner / "Resources" / "Current" / "file"));
  EXPECT_FALSE(fs::exists(inner / "Resources" / "Current" / "Resources"));
}

// A copy that fails must leave the old item exactly as it was and nothing beside it.
class ReplaceItemFailure : public ReplaceItem {
 protected:
  void expectFailureKeepsOldItem(const fs::path& newPath) {
    const auto before = snapshot(old_);
    std::error_code error;
    EXPECT_FALSE(FileManager::replaceItemAtPath(old_.string(), newPath.string(), &error));
    EXPECT_TRUE(error);
    EXPECT_EQ(snapshot(old_), before);
    expectNoLeftovers();
  }
};

TEST_F(ReplaceItemFailure, MissingNewItem) {
  expectFailureKeepsOldItem(root_ / "image" / "Missing");
}

TEST_F(ReplaceItemFailure, FifoDeepInsideTheNewTree) {
  // Refused even for root, and reached only after much of the tree has been copied.
  ASSERT_EQ(mkfifo((newItem_ / "Resources" / "Scripts" / "zz-pipe").c_str(), 0644), 0);
  expectFailureKeepsOldItem(newItem_);
}

TEST_F(ReplaceItemFailure, UnreadableFileInsideTheNewTree) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  fs::permissions(newItem_ / "Info.plist", fs::perms::none);
  expectFailureKeepsOldItem(newItem_);
}

TEST_F(ReplaceItemFailure, UnreadableFolderInsideTheNewTree) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads folders whatever their mode";
  fs::permissions(newItem_ / "Resources", fs::perms::none);
  expectFailureKeepsOldItem(newItem_);
}

}  // namespace
}  // namespace tove

#include "tove/FileManager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tove/testing/TempDir.h"

namespace tove {
namespace {

namespace fs = std::filesystem;
using FileManager::ReplaceError;
using FileManager::ReplaceOptions;

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

// Calls `visit` with the lstat of `root` and of every item under it.
void forEachItem(const fs::path& root,
                 const std::function<void(const fs::path&, const struct stat&)>& visit) {
  struct stat info {};
  ASSERT_EQ(::lstat(root.c_str(), &info), 0) << root;
  visit(root, info);
  if (!S_ISDIR(info.st_mode)) return;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
    visit(entry.path(), info);
  }
}

std::vector<std::string> hiddenNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const auto name = entry.path().filename().string();
    if (name.front() == '.') names.push_back(name);
  }
  return names;
}

void write(const fs::path& path, const std::string& text, int mode = 0644) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, fs::perms(mode));
}

void link(const std::string& target, const fs::path& path) {
  fs::create_directories(path.parent_path());
  fs::create_symlink(target, path);
}

// A file of `size` bytes that is all hole but for `data` at `at`.
void makeSparse(const fs::path& path, std::uint64_t size, std::uint64_t at,
                const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "";
  fs::resize_file(path, size);
  std::fstream(path, std::ios::in | std::ios::out | std::ios::binary)
          .seekp(static_cast<std::streamoff>(at))
      << data;
}

// A folder of its own in memory where the machine has one (reading a hole there costs
// nothing, while ext4 fills the page cache with zeros), else in `fallback`; removed on
// destruction.
class MemoryFolder {
 public:
  explicit MemoryFolder(const fs::path& fallback) {
    std::string pattern = "/dev/shm/tove-replace-XXXXXX";
    path_ = ::mkdtemp(pattern.data()) != nullptr ? fs::path(pattern) : fallback / "memory";
    fs::create_directories(path_);
  }
  ~MemoryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void makeOldContents(const fs::path& contents) {
  write(contents / "MacOS" / "Tove", "old executable", 0755);
  write(contents / "Info.plist", "old plist");
  write(contents / "Resources" / "only-in-old.txt", "gone after the replacement");
}

// Eight items: an executable, a plist, a script and a link that stays inside.
void makeNewContents(const fs::path& contents) {
  write(contents / "MacOS" / "Tove", std::string(300000, 'x') + "new executable", 0755);
  write(contents / "Info.plist", "new plist", 0600);
  write(contents / "Resources" / "Scripts" / "bounce.sh", "#!/bin/sh\n", 0750);
  link("Resources/Scripts", contents / "Scripts");
}

class ReplaceItem : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    makeOldContents(old_);
    makeNewContents(new_);
  }

  testing::TempDir dir_{"tove-replace"};
  const fs::path old_ = dir_.path() / "place" / "Contents";
  const fs::path new_ = dir_.path() / "image" / "Tove.app" / "Contents";
};

TEST_F(ReplaceItem, RefusesBadPathsWithoutTouchingAnything) {
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
  // A missing new item is a failure with its cause.
  std::error_code error;
  EXPECT_FALSE(FileManager::replaceItemAtPath(old_.string(), (new_ / "Missing").string(), &error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_EQ(snapshot(old_.parent_path()), before);
}

TEST_F(ReplaceItem, CopiesAnyItemTypeWithModesLinksAndHolesOverAnyOrNothing) {
  link("does-not-exist", new_ / "dangling");
  fs::create_directories(new_ / "Empty");
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

  // Holes stay holes without any option: 16 MiB with one byte of data in the middle.
  const auto sparse = dir_.path() / "sparse";
  makeSparse(sparse, 16 << 20, 8 << 20, "x");
  ASSERT_TRUE(FileManager::replaceItemAtPath(fresh.string(), sparse.string(), &error)) << error;
  struct stat info {};
  ASSERT_EQ(::stat(fresh.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 16 << 20);
  EXPECT_LE(info.st_blocks * 512, 64 * 1024);
  EXPECT_EQ(snapshot(fresh), snapshot(sparse));
}

TEST_F(ReplaceItem, CopiesAFolderThatHoldsTheOldItemWithoutRecursingIntoTheCopy) {
  const auto inner = new_ / "Resources" / "Current";
  write(inner / "file", "inner");
  ASSERT_TRUE(FileManager::replaceItemAtPath(inner.string(), new_.string(), nullptr));
  EXPECT_TRUE(fs::exists(inner / "MacOS" / "Tove"));
  EXPECT_TRUE(fs::exists(inner / "Resources" / "Current" / "file"));
  EXPECT_FALSE(fs::exists(inner / "Resources" / "Current" / "Resources"));
}

TEST_F(ReplaceItem, AnUnreadableItemInsideTheNewTreeLeavesTheOldItemAsItWas) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files and folders whatever their mode";
  const auto before = snapshot(old_.parent_path());
  for (const auto& unreadable : {new_ / "Info.plist", new_ / "Resources"}) {
    fs::permissions(unreadable, fs::perms::none);
    std::error_code error;
    EXPECT_FALSE(FileManager::replaceItemAtPath(old_.string(), new_.string(), &error));
    EXPECT_EQ(error, std::errc::permission_denied);
    EXPECT_EQ(snapshot(old_.parent_path()), before);
    fs::permissions(unreadable, fs::perms::owner_all);
  }
}

// What an installation asks for: modes tamed, links kept inside, disk, count and depth bound.
ReplaceOptions guarded() {
  ReplaceOptions options;
  options.safeModes = true;
  options.linksStayInside = true;
  options.maxDiskBytes = 16 << 20;
  options.maxItems = 1000;
  options.maxDepth = 16;
  return options;
}

void expectSafeModes(const fs::path& root) {
  forEachItem(root, [](const fs::path& path, const struct stat& info) {
    if (S_ISLNK(info.st_mode)) return;
    EXPECT_EQ(info.st_mode & (S_ISUID | S_ISGID | S_ISVTX | S_IWGRP | S_IWOTH), 0u) << path;
    const mode_t owner = S_ISDIR(info.st_mode) ? S_IRWXU : (S_IRUSR | S_IWUSR);
    EXPECT_EQ(info.st_mode & owner, owner) << path;
  });
}

TEST_F(ReplaceItem, AGuardedReplacementRefusesHostileTreesAndTamesTheRest) {
  struct Case {
    std::string what;
    std::function<void(const fs::path& contents)> make;
    std::function<void(ReplaceOptions&)> adjust;
    std::error_code expected;  // none: accepted
    std::string detail = {};   // part of the detail line of a refusal
    std::function<void(const fs::path& installed)> check = {};
  };
  const std::vector<Case> cases = {
      {"set-id, sticky and world-writable items; links that stay inside",
       [](const fs::path& c) {
         write(c / "MacOS" / "helper", "setuid root", 04755);
         write(c / "MacOS" / "group", "setgid", 02711);
         write(c / "Resources" / "open.txt", "anyone writes", 0777);
         write(c / "Resources" / "readonly.txt", "nobody writes", 0444);
         fs::create_directories(c / "Resources" / "tmp");
         fs::permissions(c / "Resources" / "tmp", fs::perms(01777));
         fs::permissions(c, fs::perms(0777));
         link("../MacOS/./Tove", c / "Resources" / "current");
         link("..", c / "Resources" / "up");
         link("up/Info.plist", c / "Resources" / "plist");
       },
       {},
       {},
       {},
       [](const fs::path& installed) {
         expectSafeModes(installed);
         EXPECT_EQ(fs::status(installed / "MacOS" / "helper").permissions(), fs::perms(0755));
         EXPECT_EQ(fs::status(installed / "Resources" / "open.txt").permissions(), fs::perms(0755));
         EXPECT_EQ(fs::status(installed / "Resources" / "readonly.txt").permissions(),
                   fs::perms(0644));
         EXPECT_EQ(fs::status(installed).permissions(), fs::perms(0755));
         EXPECT_EQ(testing::readFile(installed / "Resources" / "plist"), "new plist");
       }},
      {"a 4 GiB sparse file in a 16 MiB bound",
       [](const fs::path& c) {
         makeSparse(c / "Resources" / "sparse", 4ull << 30, 1ull << 30, "data");
       },
       {},
       {},
       {},
       [](const fs::path& installed) {
         const auto big = installed / "Resources" / "sparse";
         struct stat info {};
         ASSERT_EQ(::stat(big.c_str(), &info), 0);
         EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), 4ull << 30);
         EXPECT_LE(info.st_blocks * 512, 64 * 1024);
         char data[5] = {};
         const int fd = ::open(big.c_str(), O_RDONLY | O_CLOEXEC);
         EXPECT_EQ(::pread(fd, data, 4, 1ll << 30), 4);
         ::close(fd);
         EXPECT_STREQ(data, "data");
       }},
      {"more data than the disk bound",
       [](const fs::path& c) { write(c / "MacOS" / "big", std::string(2 << 20, 'b')); },
       [](ReplaceOptions& o) { o.maxDiskBytes = 1 << 20; }, ReplaceError::tooLarge,
       "MacOS/big: the copy would take more than 1048576 bytes"},
      {"more items than the bound", [](const fs::path&) {},
       [](ReplaceOptions& o) { o.maxItems = 7; }, ReplaceError::tooManyItems},
      {"folders deeper than the bound",
       [](const fs::path& c) { fs::create_directories(c / "a/b/c/d/e"); },
       [](ReplaceOptions& o) { o.maxDepth = 4; }, ReplaceError::tooDeep, "a/b/c/d/e: "},
      {"folders deeper than the built-in ceiling, whatever the bound",
       [](const fs::path& c) {
         fs::path deep = c;
         for (unsigned i = 0; i <= FileManager::kDepthCeiling; ++i) deep /= "d";
         fs::create_directories(deep);
       },
       [](ReplaceOptions& o) { o.maxDepth = 100000; }, ReplaceError::tooDeep},
      {"an absolute link",
       [](const fs::path& c) { link("/etc", c / "Resources" / "x"); },
       {},
       ReplaceError::linkOutside,
       "Resources/x: symbolic link to /etc leads outside"},
      {"a link out through ..",
       [](const fs::path& c) { link("../../../image", c / "Resources" / "x"); },
       {},
       ReplaceError::linkOutside},
      {"a link out through another link",
       [](const fs::path& c) {
         link("..", c / "d" / "s");
         link("s/../../x", c / "d" / "t");  // lexically inside; image/Tove.app/x exists
         write(c.parent_path() / "x", "outside");
       },
       {},
       ReplaceError::linkOutside,
       "d/t: symbolic link to s/../../x leads outside"},
      {"a link to nothing",
       [](const fs::path& c) { link("gone", c / "Resources" / "x"); },
       {},
       ReplaceError::linkOutside,
       "leads to nothing"},
      {"a loop of links",
       [](const fs::path& c) {
         link("b", c / "a");
         link("a", c / "b");
       },
       {},
       ReplaceError::linkOutside,
       "more than 40 links"},
      {"a FIFO",
       [](const fs::path& c) {
         ASSERT_EQ(::mkfifo((c / "Resources" / "Scripts" / "zz-pipe").c_str(), 0644), 0);
       },
       {},
       ReplaceError::unsupportedItem,
       "Resources/Scripts/zz-pipe: a FIFO"},
  };

  int index = 0;
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    const auto place = dir_.path() / ("place" + std::to_string(index));
    const MemoryFolder image(dir_.path());
    const auto contents = image.path() / ("image" + std::to_string(index++)) / "Tove.app/Contents";
    makeOldContents(place / "Contents");
    makeNewContents(contents);
    test.make(contents);
    auto options = guarded();
    if (test.adjust) test.adjust(options);
    const auto before = snapshot(place);

    std::error_code error;
    std::string detail;
    const bool replaced = FileManager::replaceItemAtPath(
        (place / "Contents").string(), contents.string(), options, &error, &detail);
    if (test.expected) {
      EXPECT_FALSE(replaced);
      EXPECT_EQ(error, test.expected) << error.message();
      EXPECT_NE(detail.find(test.detail), std::string::npos) << detail;
      EXPECT_EQ(detail.find('\n'), std::string::npos);
      EXPECT_EQ(snapshot(place), before);
    } else {
      ASSERT_TRUE(replaced) << error.message() << ": " << detail;
      EXPECT_EQ(hiddenNames(place), std::vector<std::string>{});
      EXPECT_EQ(testing::readFile(place / "Contents" / "Info.plist"), "new plist");
      if (test.check) test.check(place / "Contents");
    }
    fs::remove_all(place);
  }
  EXPECT_EQ(FileManager::make_error_code(ReplaceError::unsupportedItem),
            std::errc::operation_not_supported);
}

TEST_F(ReplaceItem, ARootReplacementKeepsTheOldOwnerSoThatTheOwnerCanRemoveTheCopy) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give items to another user";
  constexpr uid_t kUser = 4242;
  constexpr gid_t kGroup = 4343;
  fs::permissions(dir_.path(), fs::perms(0755));  // so that the user reaches the place
  ASSERT_EQ(::chown(old_.parent_path().c_str(), kUser, kGroup), 0);
  ASSERT_EQ(::chown(old_.c_str(), kUser, kGroup), 0);
  write(new_ / "Resources" / "readonly" / "file", "x", 0444);
  fs::permissions(new_ / "Resources" / "readonly", fs::perms(0555));

  auto options = guarded();
  ASSERT_TRUE(FileManager::replaceItemAtPath(old_.string(), new_.string(), options, nullptr));
  forEachItem(old_, [](const fs::path& path, const struct stat& info) {
    EXPECT_EQ(info.st_uid, 0u) << path;  // without keepOwner the copy is the process's
  });
  ASSERT_EQ(::chown(old_.c_str(), kUser, kGroup), 0);
  options.keepOwner = true;
  ASSERT_TRUE(FileManager::replaceItemAtPath(old_.string(), new_.string(), options, nullptr));
  forEachItem(old_, [&](const fs::path& path, const struct stat& info) {
    EXPECT_EQ(info.st_uid, kUser) << path;
    EXPECT_EQ(info.st_gid, kGroup) << path;
  });
  expectSafeModes(old_);

  // The owner, and not root, removes the installed tree.
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    if (::setgid(kGroup) != 0 || ::setuid(kUser) != 0) ::_exit(2);
    std::error_code error;
    fs::remove_all(old_, error);
    ::_exit(error ? 1 : 0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(fs::exists(old_));
}

TEST_F(ReplaceItem, ItemsWithNamesUpToTheLimitAreReplacedAndTheirCopiesRecognised) {
  const std::string twoBytes = "\xc3\xa9";  // é
  std::string utf8;
  while (utf8.size() + 2 <= 254) utf8 += twoBytes;
  for (const auto& name : {std::string(242, 'n'), std::string(243, 'n'), std::string(255, 'n'),
                           utf8 + "x", std::string(255, 'm')}) {
    SCOPED_TRACE(name.size());
    const auto place = dir_.path() / "long";
    const auto target = place / name;
    makeOldContents(target);
    std::error_code error;
    ASSERT_TRUE(FileManager::replaceItemAtPath(target.string(), new_.string(), &error)) << error;
    EXPECT_EQ(testing::readFile(target / "Info.plist"), "new plist");

    // While a guarded copy runs, its hidden sibling fits and is kept as someone's.
    std::vector<std::string> siblings;
    ReplaceOptions options;
    options.progress = [&](std::uint64_t, std::uint64_t) {
      if (siblings.empty()) {
        siblings = hiddenNames(place);
        EXPECT_EQ(FileManager::removeAbandonedCopies(target.string()), 0u);
      }
      return true;
    };
    ASSERT_TRUE(FileManager::replaceItemAtPath(target.string(), new_.string(), options, &error))
        << error;
    ASSERT_EQ(siblings.size(), 1u);
    EXPECT_LE(siblings[0].size(), 255u);
    EXPECT_EQ(hiddenNames(place), std::vector<std::string>{});

    // The same name left by a killed process is recognised as abandoned.
    write(place / siblings[0] / "partial", "x");
    EXPECT_EQ(FileManager::removeAbandonedCopies(target.string()), 1u);
    EXPECT_EQ(hiddenNames(place), std::vector<std::string>{});
    fs::remove_all(place);
  }
}

TEST_F(ReplaceItem, RemovesOnlyAbandonedCopiesFollowingNoLinkAndPutsBackASetAsideItem) {
  const auto place = old_.parent_path();
  const auto outside = dir_.path() / "outside";
  write(outside / "keep", "not part of any copy");
  // A copy from a killed run, with a read-only folder and a link leading out.
  const auto abandoned = place / ".Contents.tove-Ab12Cd";
  write(abandoned / "Resources" / "ro" / "file", "partial", 0444);
  link(outside.string(), abandoned / "Resources" / "ro" / "out");
  fs::permissions(abandoned / "Resources" / "ro", fs::perms(0555));
  write(place / ".Contents.tove-old-Zz9Yy8" / "Info.plist", "older plist");
  const std::vector<std::string> unrelated = {".Contents.tove-abc", ".Other.tove-Ab12Cd",
                                              "Contents.tove-Ab12Cd", ".Contents.tove-Ab12C!"};
  for (const auto& name : unrelated) write(place / name, "someone else's");

  EXPECT_EQ(FileManager::removeAbandonedCopies(old_.string()), 2u);
  EXPECT_EQ(testing::readFile(outside / "keep"), "not part of any copy");
  EXPECT_EQ(testing::readFile(old_ / "Info.plist"), "old plist");
  auto left = hiddenNames(place);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, std::vector<std::string>(
                      {".Contents.tove-Ab12C!", ".Contents.tove-abc", ".Other.tove-Ab12Cd"}));

  // An old item set aside by a run killed before the new one went in comes back.
  fs::rename(old_, place / ".Contents.tove-old-Qq1234");
  EXPECT_EQ(FileManager::removeAbandonedCopies(old_.string()), 1u);
  EXPECT_EQ(testing::readFile(old_ / "Info.plist"), "old plist");
}

TEST_F(ReplaceItem, ValidationAndProgressCanStopAReplacementWhoseCopyIsKeptWhileItRuns) {
  write(new_ / "Frameworks" / "lib.so", std::string(3 << 20, 'l'));
  const auto before = snapshot(old_.parent_path());

  // Progress is reported as the copy advances, and the copy being made is not abandoned.
  std::uint64_t lastBytes = 0;
  std::uint64_t lastItems = 0;
  int calls = 0;
  ReplaceOptions options = guarded();
  options.progress = [&](std::uint64_t bytes, std::uint64_t items) {
    EXPECT_GE(bytes, lastBytes);
    EXPECT_GE(items, lastItems);
    lastBytes = bytes;
    lastItems = items;
    ++calls;
    EXPECT_EQ(FileManager::removeAbandonedCopies(old_.string()), 0u);
    EXPECT_EQ(hiddenNames(old_.parent_path()).size(), 1u);
    return calls < 3;
  };
  std::error_code error;
  std::string detail;
  EXPECT_FALSE(
      FileManager::replaceItemAtPath(old_.string(), new_.string(), options, &error, &detail));
  EXPECT_EQ(error, ReplaceError::cancelled);
  EXPECT_EQ(error, std::errc::operation_canceled);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(snapshot(old_.parent_path()), before);

  options.progress = [&](std::uint64_t bytes, std::uint64_t items) {
    lastBytes = bytes;
    lastItems = items;
    return true;
  };
  std::string seen;
  options.validate = [&](const std::string& copyPath) -> std::optional<std::string> {
    seen = testing::readFile(fs::path(copyPath) / "Info.plist");
    EXPECT_EQ(fs::path(copyPath).parent_path(), old_.parent_path());
    return "not signed\nby us";
  };
  EXPECT_FALSE(
      FileManager::replaceItemAtPath(old_.string(), new_.string(), options, &error, &detail));
  EXPECT_EQ(error, ReplaceError::rejected);
  EXPECT_EQ(detail, "the copy was refused: not signed?by us");
  EXPECT_EQ(seen, "new plist");
  EXPECT_EQ(lastItems, 10u);
  EXPECT_EQ(lastBytes, (3u << 20) + 300000 + 14 + 9 + 10);
  EXPECT_EQ(snapshot(old_.parent_path()), before);
}

}  // namespace
}  // namespace tove

#include "sparkler/FileManager.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
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
#include <tuple>
#include <utility>
#include <vector>

#include "sparkler/ProcessHandle.h"
#include "sparkler/testing/TempDir.h"

namespace sparkler {
namespace {

namespace fs = std::filesystem;
using FileManager::ReplaceError;
using FileManager::ReplaceOptions;
using Snapshot = std::map<std::string, std::string>;

// Every item under a root with its owner, mode and contents (or link target).
Snapshot snapshot(const fs::path& root) {
  auto describe = [](const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::string("missing");
    std::ostringstream text;
    text << info.st_uid << ':' << info.st_gid << ' ' << std::oct << info.st_mode << ' ';
    if (S_ISLNK(info.st_mode)) text << "-> " << fs::read_symlink(path).string();
    if (S_ISREG(info.st_mode)) text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  };
  Snapshot items{{".", describe(root)}};
  std::error_code error;  // a file has nothing below it
  for (const auto& entry : fs::recursive_directory_iterator(root, error)) {
    items[fs::relative(entry.path(), root).string()] = describe(entry.path());
  }
  return items;
}

std::vector<std::string> hiddenNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const auto name = entry.path().filename().string();
    if (name.front() == '.') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
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

// A file of `size` bytes, all hole but for `data` at `at`.
void makeSparse(const fs::path& path, std::uint64_t size, std::uint64_t at,
                const std::string& data) {
  write(path, "");
  fs::resize_file(path, size);
  std::fstream(path, std::ios::in | std::ios::out | std::ios::binary)
          .seekp(static_cast<std::streamoff>(at))
      << data;
}

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

// What an installation asks for: modes tamed, links kept inside, disk, count and depth bound.
ReplaceOptions guarded() {
  ReplaceOptions options;
  options.safeModes = options.linksStayInside = true;
  options.maxDiskBytes = 16 << 20;
  options.maxItems = 1000;
  options.maxDepth = 16;
  return options;
}

class ReplaceItem : public ::testing::Test {
 protected:
  void SetUp() override {
    // New items stand in memory where the machine has it, as they would on a mounted image:
    // reading a hole costs nothing there, while ext4 fills the page cache with zeros.
    std::string memory = "/dev/shm/tove-replace-XXXXXX";
    image_ = ::mkdtemp(memory.data()) != nullptr ? fs::path(memory) : dir_.path() / "image";
    new_ = image_ / "Tove.app" / "Contents";
    makeOldContents(old_);
    makeNewContents(new_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(image_, ignored);
  }
  bool replace(const fs::path& from, const ReplaceOptions& options, std::error_code* error,
               std::string* detail = nullptr) {
    return FileManager::replaceItemAtPath(old_.string(), from.string(), options, error, detail);
  }

  testing::TempDir dir_{"tove-replace"};
  const fs::path old_ = dir_.path() / "place" / "Contents";
  fs::path image_;
  fs::path new_;
};

TEST_F(ReplaceItem, RefusesBadPathsWithoutTouchingAnything) {
  const auto before = snapshot(old_.parent_path());
  const std::error_code sentinel = std::make_error_code(std::errc::interrupted);
  for (const auto& [from, to] : {std::pair<std::string, std::string>{old_, "relative/new"},
                                 {"relative/old", new_},
                                 {old_, ""},
                                 {"", new_}}) {
    std::error_code error = sentinel;
    EXPECT_FALSE(FileManager::replaceItemAtPath(from, to, &error));
    EXPECT_EQ(error, sentinel);
  }
  std::error_code error;
  EXPECT_FALSE(FileManager::replaceItemAtPath(old_.string(), (new_ / "Missing").string(), &error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_EQ(snapshot(old_.parent_path()), before);
}

TEST_F(ReplaceItem, CopiesAnyItemTypeWithModesLinksAndHolesOverAnyOrNothing) {
  link("does-not-exist", new_ / "dangling");
  fs::create_directories(new_ / "Empty");
  makeSparse(new_ / "sparse", 16 << 20, 8 << 20, "x");  // ends in a hole
  const auto source = snapshot(new_);
  // Through "..", a trailing separator and a null error slot.
  const auto indirect = image_ / ".." / image_.filename() / "Tove.app" / "Contents";
  ASSERT_TRUE(FileManager::replaceItemAtPath(old_.string() + "/", indirect.string(), nullptr));
  EXPECT_EQ(snapshot(old_), source);
  EXPECT_EQ(snapshot(new_), source);  // the new item is only read
  struct stat copied {};
  ASSERT_EQ(::stat((old_ / "sparse").c_str(), &copied), 0);
  EXPECT_LE(copied.st_blocks * 512, 64 * 1024);  // its holes stayed holes
  const auto file = new_ / "Info.plist";
  std::error_code error;
  ASSERT_TRUE(FileManager::replaceItemAtPath(old_.string(), file.string(), &error)) << error;
  EXPECT_EQ(snapshot(old_), snapshot(file));
  ASSERT_TRUE(FileManager::replaceItemAtPath(old_.string(), new_.string(), &error)) << error;
  EXPECT_EQ(snapshot(old_), source);
  const auto fresh = old_.parent_path() / "Fresh";
  ASSERT_TRUE(FileManager::replaceItemAtPath(fresh.string(), new_.string(), &error)) << error;
  EXPECT_EQ(snapshot(fresh), source);
  EXPECT_EQ(std::distance(fs::directory_iterator(old_.parent_path()), {}), 2);  // no temporaries
  // A folder copied over an item inside it: the copy does not recurse into itself.
  const auto inner = new_ / "Resources" / "Current";
  write(inner / "file", "inner");
  ASSERT_TRUE(FileManager::replaceItemAtPath(inner.string(), new_.string(), nullptr));
  EXPECT_TRUE(fs::exists(inner / "Resources" / "Current" / "file"));
  EXPECT_FALSE(fs::exists(inner / "Resources" / "Current" / "Resources"));
}

TEST_F(ReplaceItem, AGuardedReplacementTamesModesKeepsLinksThatStayInsideAndCountsNoHoles) {
  write(new_ / "MacOS" / "helper", "setuid root");
  write(new_ / "MacOS" / "group", "setgid");
  write(new_ / "Resources" / "open.txt", "anyone writes");
  write(new_ / "Resources" / "ro" / "readonly.txt", "nobody writes");
  fs::create_directories(new_ / "Resources" / "tmp");
  // Each item's mode in the image, and once installed.
  const std::tuple<std::string, int, int> modes[] = {{"MacOS/helper", 04755, 0755},
                                                     {"MacOS/group", 02711, 0711},
                                                     {"Resources/open.txt", 0777, 0755},
                                                     {"Resources/ro/readonly.txt", 0444, 0644},
                                                     {"Resources/ro", 0555, 0755},
                                                     {"Resources/tmp", 01777, 0755},
                                                     {".", 0777, 0755}};
  for (const auto& [item, mode, _] : modes) fs::permissions(new_ / item, fs::perms(mode));
  link("../MacOS/./Tove", new_ / "Resources" / "current");
  link("..", new_ / "Resources" / "up");
  link("up/Info.plist", new_ / "Resources" / "plist");
  makeSparse(new_ / "Resources" / "sparse", 4ull << 30, 1ull << 30, "data");  // within 16 MiB

  std::error_code error;
  std::string detail;
  ASSERT_TRUE(replace(new_, guarded(), &error, &detail)) << error.message() << ": " << detail;
  EXPECT_EQ(hiddenNames(old_.parent_path()), std::vector<std::string>{});
  for (const auto& [item, _, mode] : modes) {
    EXPECT_EQ(fs::status(old_ / item).permissions(), fs::perms(mode)) << item;
  }
  EXPECT_EQ(testing::readFile(old_ / "Resources" / "plist"), "new plist");
}

TEST_F(ReplaceItem, AGuardedReplacementRefusesHostileTreesSayingWhereAndWhy) {
  using Make = std::function<void(const fs::path& contents)>;
  const auto links = [](auto... whereThenTarget) -> Make {
    const std::vector<std::string> texts{whereThenTarget...};
    return [texts](const fs::path& c) {
      for (std::size_t i = 0; i < texts.size(); i += 2) link(texts[i + 1], c / texts[i]);
    };
  };
  struct Case {
    std::string what;
    Make make;
    std::error_code expected;
    std::string detail;  // part of the detail line
    std::function<void(ReplaceOptions&)> adjust = {};
  };
  const std::vector<Case> cases = {
      {"more data than the disk bound",
       [](const fs::path& c) { write(c / "MacOS" / "big", std::string(2 << 20, 'b')); },
       ReplaceError::tooLarge, "MacOS/big: the copy would take more than 1048576 bytes",
       [](ReplaceOptions& o) { o.maxDiskBytes = 1 << 20; }},
      {"more items than the bound", nullptr, ReplaceError::tooManyItems, "",
       [](ReplaceOptions& o) { o.maxItems = 7; }},
      {"folders deeper than the bound",
       [](const fs::path& c) { fs::create_directories(c / "a/b/c/d/e"); }, ReplaceError::tooDeep,
       "a/b/c/d/e: ", [](ReplaceOptions& o) { o.maxDepth = 4; }},
      {"folders deeper than the built-in ceiling, whatever the bound",
       [](const fs::path& c) {
         fs::path deep = c;
         for (unsigned i = 0; i <= FileManager::kDepthCeiling; ++i) deep /= "d";
         fs::create_directories(deep);
       },
       ReplaceError::tooDeep, "", [](ReplaceOptions& o) { o.maxDepth = 100000; }},
      {"an absolute link", links("Resources/x", "/etc"), ReplaceError::linkOutside,
       "Resources/x: symbolic link to /etc leads outside"},
      {"a link out through ..", links("Resources/x", "../../image"), ReplaceError::linkOutside,
       "leads outside"},
      // Lexically inside, but d/s leads to the top and "s/.." above it.
      {"a link out through another link", links("d/s", "..", "d/t", "s/../../Contents"),
       ReplaceError::linkOutside, "d/t: symbolic link to s/../../Contents leads outside"},
      {"a link to nothing", links("Resources/x", "gone"), ReplaceError::linkOutside,
       "leads to nothing"},
      {"a loop of links", links("a", "b", "b", "a"), ReplaceError::linkOutside,
       "more than 40 links"},
      {"a FIFO",
       [](const fs::path& c) { ::mkfifo((c / "Resources" / "Scripts" / "zz-pipe").c_str(), 0644); },
       ReplaceError::unsupportedItem, "Resources/Scripts/zz-pipe: a FIFO"},
  };
  const auto before = snapshot(old_.parent_path());
  int index = 0;
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    const auto contents = image_ / ("case" + std::to_string(index++)) / "Contents";
    makeNewContents(contents);
    if (test.make) test.make(contents);
    auto options = guarded();
    if (test.adjust) test.adjust(options);
    std::error_code error;
    std::string detail;
    EXPECT_FALSE(replace(contents, options, &error, &detail));
    EXPECT_EQ(error, test.expected) << error.message();
    EXPECT_NE(detail.find(test.detail), std::string::npos) << detail;
    EXPECT_EQ(detail.find('\n'), std::string::npos);
    EXPECT_EQ(snapshot(old_.parent_path()), before);
  }
  EXPECT_EQ(FileManager::make_error_code(ReplaceError::unsupportedItem),
            std::errc::operation_not_supported);
}

TEST_F(ReplaceItem, AsRootTheCopyTakesTheOwnerOfTheOldItemWhenAsked) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give items to another user";
  auto options = guarded();
  for (const bool keepOwner : {false, true}) {
    ASSERT_EQ(::chown(old_.c_str(), 4242, 4343), 0);
    options.keepOwner = keepOwner;
    ASSERT_TRUE(replace(new_, options, nullptr));
    for (const auto& [item, text] : snapshot(old_)) {
      EXPECT_EQ(text.substr(0, text.find(' ')), keepOwner ? "4242:4343" : "0:0") << item;
    }
  }
}

TEST_F(ReplaceItem, TheLongestNamesHaveCopiesThatFitAndAreRecognisedOnceAbandoned) {
  std::string name;  // "é" 127 times, then "x": shortening it must not cut a character in two
  while (name.size() < 254) name += "\xc3\xa9";
  const auto target = old_.parent_path() / (name + "x");
  makeOldContents(target);
  std::vector<std::string> siblings;
  ReplaceOptions options;
  options.progress = [&](std::uint64_t, std::uint64_t) {
    if (siblings.empty()) siblings = hiddenNames(target.parent_path());
    return true;
  };
  std::error_code error;
  ASSERT_TRUE(FileManager::replaceItemAtPath(target.string(), new_.string(), options, &error))
      << error;
  ASSERT_EQ(siblings.size(), 1u);
  EXPECT_EQ(siblings[0].find("\xc3~"), std::string::npos) << siblings[0];
  // The same name left by a killed process is recognised as abandoned.
  write(target.parent_path() / siblings[0] / "partial", "x");
  EXPECT_EQ(FileManager::removeAbandonedCopies(target.string()), 1u);
  EXPECT_EQ(hiddenNames(target.parent_path()), std::vector<std::string>{});
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
  const std::vector<std::string> unrelated = {".Contents.tove-Ab12C!", ".Contents.tove-abc",
                                              ".Other.tove-Ab12Cd", "Contents.tove-Ab12Cd"};
  for (const auto& name : unrelated) write(place / name, "someone else's");

  EXPECT_EQ(FileManager::removeAbandonedCopies(old_.string()), 2u);
  EXPECT_EQ(testing::readFile(outside / "keep"), "not part of any copy");
  EXPECT_EQ(testing::readFile(old_ / "Info.plist"), "old plist");
  EXPECT_EQ(hiddenNames(place), std::vector<std::string>(unrelated.begin(), unrelated.end() - 1));

  // An old item set aside by a run killed before the new one went in comes back.
  fs::rename(old_, place / ".Contents.tove-old-Qq1234");
  EXPECT_EQ(FileManager::removeAbandonedCopies(old_.string()), 1u);
  EXPECT_EQ(testing::readFile(old_ / "Info.plist"), "old plist");
}

TEST_F(ReplaceItem, ValidationAndProgressCanStopAReplacementWhoseCopyIsKeptWhileItRuns) {
  write(new_ / "Frameworks" / "lib.so", std::string(3 << 20, 'l'));
  const auto before = snapshot(old_.parent_path());
  std::uint64_t lastBytes = 0;
  std::uint64_t lastItems = 0;
  int calls = 0;
  ReplaceOptions options = guarded();
  options.progress = [&](std::uint64_t bytes, std::uint64_t items) {
    EXPECT_TRUE(bytes >= lastBytes && items >= lastItems);
    lastBytes = bytes;
    lastItems = items;
    // The copy being made is not taken for an abandoned one.
    EXPECT_EQ(FileManager::removeAbandonedCopies(old_.string()), 0u);
    EXPECT_EQ(hiddenNames(old_.parent_path()).size(), 1u);
    return ++calls != 3;
  };
  std::error_code error;
  std::string detail;
  EXPECT_FALSE(replace(new_, options, &error, &detail));
  EXPECT_TRUE(error == ReplaceError::cancelled && error == std::errc::operation_canceled) << error;
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(snapshot(old_.parent_path()), before);

  lastBytes = lastItems = 0;
  std::string seen;
  options.validate = [&](const std::string& copyPath) -> std::optional<std::string> {
    seen = testing::readFile(fs::path(copyPath) / "Info.plist");
    EXPECT_EQ(fs::path(copyPath).parent_path(), old_.parent_path());
    return "not signed\nby us";
  };
  EXPECT_FALSE(replace(new_, options, &error, &detail));
  EXPECT_EQ(error, ReplaceError::rejected);
  EXPECT_NE(detail.find("not signed?by us"), std::string::npos) << detail;
  EXPECT_EQ(seen, "new plist");
  EXPECT_EQ(lastItems, 10u);
  EXPECT_EQ(lastBytes, (3u << 20) + 300000 + 14 + 9 + 10);
  EXPECT_EQ(snapshot(old_.parent_path()), before);
}

// Replaces `target` by a copy of `source` in a child process; its pid. With `stopOnceCopying`
// the child stops itself (SIGSTOP) as soon as its copy has begun.
pid_t replaceInChild(const fs::path& target, const fs::path& source, bool stopOnceCopying) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ReplaceOptions options;
  options.progress = [stop = stopOnceCopying](std::uint64_t, std::uint64_t) mutable {
    if (std::exchange(stop, false)) ::raise(SIGSTOP);
    return true;
  };
  ::_exit(FileManager::replaceItemAtPath(target.string(), source.string(), options, nullptr) ? 0
                                                                                             : 1);
}

int reap(pid_t pid, int options = 0) {
  int status = -1;
  return pid > 0 && ::waitpid(pid, &status, options) == pid ? status : -1;
}

// Wherever the replacing process is killed, the item is the old one or the new one, whole, and
// the next run removes what it left; the copy of a run still going is kept.
TEST_F(ReplaceItem, AKilledReplacementLeavesTheOldItemOrTheNewWholeAndItsCopyGoesWithIt) {
  // Big enough that removing one takes a while.
  const fs::path trees[2] = {image_ / "a", image_ / "b"};
  Snapshot snapshots[2];
  for (int t = 0; t < 2; ++t) {
    for (int i = 0; i < 200; ++i) {
      write(trees[t] / std::to_string(i % 10) / std::to_string(i),
            std::string(32 << 10, static_cast<char>('a' + t)));
    }
    snapshots[t] = snapshot(trees[t]);
  }
  ASSERT_EQ(reap(replaceInChild(old_, trees[0], false)), 0);

  // Killed at the first removal inside the old item, a run has put the new one in place already.
  const int removals = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(removals, old_.c_str(), IN_DELETE), 0);
  const pid_t run = replaceInChild(old_, trees[1], false);
  const auto running = ProcessHandle::open(run);
  pollfd either[2] = {{removals, POLLIN, 0}, {running.get(), POLLIN, 0}};
  ::poll(either, 2, -1);  // until a removal, or the end of the run
  EXPECT_TRUE(either[0].revents & POLLIN) << "the run ended without removing the old item";
  ::kill(run, SIGKILL);
  reap(run);
  ::close(removals);
  EXPECT_EQ(snapshot(old_), snapshots[1]);

  // Stopped in its copy, a run keeps the copy; killed there, it leaves the old item whole.
  for (const int signal : {SIGKILL, SIGCONT}) {
    const pid_t pid = replaceInChild(old_, trees[0], true);
    ASSERT_TRUE(WIFSTOPPED(reap(pid, WUNTRACED)));
    EXPECT_EQ(FileManager::removeAbandonedCopies(old_.string()), 0u);
    EXPECT_EQ(hiddenNames(old_.parent_path()).size(), 1u);  // what killed runs left is gone
    ::kill(pid, signal);
    EXPECT_EQ(reap(pid), signal == SIGKILL ? SIGKILL : 0);  // killed, or done
    EXPECT_EQ(FileManager::removeAbandonedCopies(old_.string()), signal == SIGKILL ? 1u : 0u);
    EXPECT_EQ(hiddenNames(old_.parent_path()), std::vector<std::string>{});
    EXPECT_EQ(snapshot(old_), snapshots[signal == SIGKILL ? 1 : 0]);
  }
}

}  // namespace
}  // namespace sparkler

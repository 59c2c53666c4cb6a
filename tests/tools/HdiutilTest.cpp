// The disk image tool, run as the updater runs it, and killed, stalled and squatted as a
// hostile or unlucky machine would.

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <future>
#include <regex>

#include "sparkler/ProcessHandle.h"
#include "sparkler/testing/DiskImages.h"

namespace sparkler::test {
namespace {

class HdiutilTest : public DiskImageTest {
 protected:
  fs::path image = work / "Disk \"Q\" 'one'.dmg";
  std::string base = run.volumes() + "/Disk \"Q\" 'one'";  // its mount point while free

  void SetUp() override {
    requireMounting();
    writeFile(work / "root/Tove.app/Contents/Info.plist", "<plist/>", fs::perms(0644));
    ASSERT_TRUE(DiskImageRun::makeImage(work / "root", image));
  }

  struct Attached {
    std::string disk;  // diskN
    std::string mountPoint;
  };

  // The attach output in hdiutil's grammar, read strictly.
  static std::optional<Attached> parse(const RunResult& attach) {
    static const std::regex grammar(
        "/dev/(disk[1-9][0-9]*)\tGUID_partition_scheme\t\n/dev/\\1s1\tApple_HFS\t([^\n]+)\n");
    std::smatch match;
    if (attach.status != 0 || !std::regex_match(attach.output, match, grammar)) return std::nullopt;
    return Attached{match[1], match[2]};
  }

  // Attaches `file` for this process or, when `ended`, for a shell that has ended by the time
  // the answer is read.
  std::optional<Attached> attach(const fs::path& file, bool ended = false) {
    const auto result = ended ? run.runProgram("/bin/sh", {"-c", "\"$0\" attach \"$1\"; exit $?",
                                                           DiskImageRun::tool(), file.string()})
                              : run.runTool({"attach", file.string(), "-nobrowse"});
    auto attached = parse(result);
    EXPECT_TRUE(attached) << result.output << result.error;
    return attached;
  }

  // A PATH of stand-ins for the programs the tool runs (it looks in the usual folders after
  // PATH). Each runs the real program; at TOVE_TEST_AT=<name>:before (or :after) it first (or
  // then) writes its process id to $TOVE_TEST_PID and kills the tool when TOVE_TEST_KILL is set,
  // else stops.
  std::string pathWithStandIns() {
    for (const char* name : {"unsquashfs", "squashfuse", "mount"}) {
      writeFile(work / "bin" / name,
                "#!/bin/sh\nat() {\n  [ \"$TOVE_TEST_AT\" = ${0##*/}:$1 ] || return 0\n"
                "  echo $$ > \"$TOVE_TEST_PID\"\n"
                "  [ -n \"$TOVE_TEST_KILL\" ] && kill -9 $PPID && exit 1\n  kill -STOP $$\n}\n"
                "at before\nPATH=/usr/sbin:/usr/bin:/sbin:/bin ${0##*/} \"$@\" || exit\nat after\n",
                fs::perms(0755));
    }
    return "PATH=" + (work / "bin").string();
  }
};

// Attaches run side by side, each with a way of mounting, and each is detached by another form.
TEST_F(HdiutilTest, AttachesGetTheirOwnDiskAndNameMountReadOnlyAndDetachByAnyForm) {
  std::vector<std::pair<std::string, std::string>> rows{
      {"", "diskN"},      {"fuse", "/dev/diskNs1"}, {"kernel", "diskNs1"},
      {"", "/dev/diskN"}, {"fuse", "MOUNTPOINT"},   {"kernel", "MOUNTPOINT/"}};
  if (::geteuid() != 0) std::erase_if(rows, [](const auto& row) { return row.first == "kernel"; });
  std::vector<std::future<RunResult>> attaches;
  for (const auto& row : rows) {
    attaches.push_back(std::async(std::launch::async, [&] {
      return run.runTool({"attach", image.string()}, {"SPARKLER_HDIUTIL_MOUNTER=" + row.first});
    }));
  }
  std::vector<RunResult> results;  // all attached before any is detached
  for (auto& attach : attaches) results.push_back(attach.get());
  std::set<std::string> disks, mountPoints, names{base};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].first + " " + rows[i].second);
    if (i > 0) names.insert(base + " " + std::to_string(i));
    const auto& result = results[i];
    const auto attached = parse(result);
    ASSERT_TRUE(attached) << result.output << result.error;
    disks.insert(attached->disk);
    mountPoints.insert(attached->mountPoint);
    EXPECT_EQ(readFile(attached->mountPoint + "/Tove.app/Contents/Info.plist"), "<plist/>");
    struct statvfs volume {};
    ASSERT_EQ(::statvfs(attached->mountPoint.c_str(), &volume), 0);
    EXPECT_EQ(volume.f_flag & (ST_RDONLY | ST_NOSUID | ST_NODEV), ST_RDONLY | ST_NOSUID | ST_NODEV);
    const auto detach = run.runTool(
        {"detach",
         std::regex_replace(std::regex_replace(rows[i].second, std::regex("diskN"), attached->disk),
                            std::regex("MOUNTPOINT"), attached->mountPoint)});
    EXPECT_EQ(detach.output, "\"" + attached->disk + "\" ejected.\n") << detach.error;
    EXPECT_TRUE(daemonsBelow(attached->mountPoint).empty());
  }
  EXPECT_EQ(mountPoints, names);
  EXPECT_EQ(disks.size(), rows.size());
}

TEST_F(HdiutilTest, MountPointNamesFitAndSquattersNeitherDenyNorRedirectThem) {
  // A 255-byte name without extension: the volume name is the whole file name. " 1" leaves
  // room for 253 bytes, which would split the 127th é: it goes whole.
  std::string name;
  for (int i = 0; i < 127; ++i) name += "\xC3\xA9";  // é
  name += "a";
  fs::copy_file(image, work / name);
  const auto longFirst = attach(work / name), longSecond = attach(work / name);
  ASSERT_TRUE(longFirst && longSecond);
  EXPECT_EQ(longFirst->mountPoint, run.volumes() + "/" + name);
  EXPECT_EQ(longSecond->mountPoint, run.volumes() + "/" + name.substr(0, 252) + " 1");
  EXPECT_EQ(run.runTool({"detach", longFirst->disk}).status, 0);
  EXPECT_EQ(run.runTool({"detach", longSecond->disk}).status, 0);

  // Another user has made the plain name and every numbered one a tool could try before
  // giving up (a hundred stand for them all), one a symbolic link to a folder of theirs.
  const fs::path theirs = work / "theirs";
  writeFile(theirs / "mine", "theirs", fs::perms(0644));
  for (int i = 0; i < 100; ++i) {
    const std::string squatted = i == 0 ? base : base + " " + std::to_string(i);
    ASSERT_TRUE(fs::create_directory(squatted));
    ASSERT_TRUE(::geteuid() != 0 || ::chown(squatted.c_str(), 65534, 65534) == 0);
  }
  fs::remove(base + " 3");
  fs::create_directory_symlink(theirs, base + " 3");
  const auto first = attach(image), second = attach(image);
  ASSERT_TRUE(first && second);
  for (const auto& at : {first->mountPoint, second->mountPoint}) {
    EXPECT_TRUE(at.starts_with(base) &&
                std::regex_match(at.substr(base.size()), std::regex(" [0-9a-f]{12}")))
        << at;
  }
  EXPECT_EQ(readFile(first->mountPoint + "/Tove.app/Contents/Info.plist"), "<plist/>");
  EXPECT_TRUE(mountsBelow(theirs.string()).empty());
  EXPECT_EQ(run.runTool({"detach", first->disk}).status, 0);
  EXPECT_EQ(run.runTool({"detach", second->mountPoint}).status, 0);
  // The squatter's names and what their link leads to are theirs: detaching took none of them.
  EXPECT_EQ(readFile(theirs / "mine"), "theirs");
  int left = 0;
  for (const auto& entry : fs::directory_iterator(run.volumes())) left += fs::remove(entry) ? 1 : 0;
  EXPECT_EQ(left, 100);
}

TEST_F(HdiutilTest, AnAttachKilledOrStuckAnywhereLeavesNothingThatCannotBeRemoved) {
  // Where the tool is killed or stuck (in a program, before or after it runs), the way of
  // mounting, and what cleans up after it, or "limit": the tool's own time limit.
  std::vector<std::array<std::string, 3>> points{
      {"unsquashfs:before", "", "reclaim"},         {"unsquashfs:before", "", "limit"},
      {"squashfuse:before", "fuse", "detach"},      {"squashfuse:before", "fuse", "limit"},
      {"squashfuse:after", "fuse", "stop+reclaim"}, {"squashfuse:after", "fuse", "detach"}};
  if (::geteuid() == 0) {
    points.push_back({"mount:before", "kernel", "reclaim"});
    points.push_back({"mount:after", "kernel", "detach"});
  }
  const std::string path = pathWithStandIns();
  const fs::path standInFile = work / "stand-in";
  for (const auto& [at, mounter, then] : points) {
    SCOPED_TRACE(at + " " + mounter + " " + then);
    const auto attach =
        run.runTool({"attach", image.string()},
                    {path, "TOVE_TEST_AT=" + at, "TOVE_TEST_PID=" + standInFile.string(),
                     "SPARKLER_HDIUTIL_MOUNTER=" + mounter,
                     then == "limit" ? "SPARKLER_HDIUTIL_TIME_LIMIT=1" : "TOVE_TEST_KILL=1"});
    const pid_t standIn = std::atoi(readFile(standInFile).c_str());
    ASSERT_GT(standIn, 0) << attach.error;
    fs::remove(standInFile);
    if (then == "limit") {
      EXPECT_EQ(attach.status, 1);
      const std::string message = attach.output + attach.error;  // one line
      EXPECT_TRUE(std::regex_match(message, std::regex("[^\n]*" + at.substr(0, at.find(':')) +
                                                       " did not finish within 1 s[^\n]*\n?")))
          << message;
      EXPECT_NE(::kill(standIn, 0), 0) << "the stuck program runs on";
    } else {
      EXPECT_EQ(attach.status, 128 + SIGKILL);
      EXPECT_EQ(mountsBelow(run.volumes()).size(), at.ends_with(":after") ? 1u : 0u);
      if (then == "stop+reclaim")
        for (const pid_t daemon : daemonsBelow(run.volumes())) ::kill(daemon, SIGSTOP);
      const auto cleaned =
          run.runTool(then == "detach" ? std::vector<std::string>{"detach", base}
                                       : std::vector<std::string>{"reclaim", work});
      EXPECT_EQ(cleaned.status, 0) << cleaned.error;
      EXPECT_EQ(cleaned.output,
                then == "detach" ? "\"disk1\" ejected.\n"
                : at.starts_with("unsquashfs")
                    ? ""
                    : "reclaimed disk1 at " + base + " (its attach was interrupted)\n");
    }
    EXPECT_EQ(run.leftovers(), std::vector<std::string>{});
  }
}

TEST_F(HdiutilTest, ReclaimTakesImagesInItsFolderWhoseOwnerEndedAndNothingElse) {
  const fs::path cache = work / "cache" / "Cached.dmg", other = work / "other" / "Elsewhere.dmg";
  for (const auto& copy : {cache, other}) {
    fs::create_directories(copy.parent_path());
    fs::copy_file(image, copy);
  }
  const auto gone = attach(cache, true);       // disk1
  const auto running = attach(cache);          // disk2, for this process
  const auto elsewhere = attach(other, true);  // disk3
  const auto unmounted = attach(other);        // disk4
  ASSERT_TRUE(gone && running && elsewhere && unmounted);
  // Unmounted behind the tool's back; its daemon then ends by itself.
  std::vector<ProcessHandle> daemons;
  for (const pid_t pid : daemonsBelow(unmounted->mountPoint))
    daemons.push_back(ProcessHandle::open(pid));
  ASSERT_TRUE(
      QuickTask::executeTask("/usr/bin/fusermount3", Arguments{{"-u", unmounted->mountPoint}}) ||
      QuickTask::executeTask("/usr/bin/umount", Arguments{{unmounted->mountPoint}}));
  for (const auto& daemon : daemons) EXPECT_TRUE(daemon.waitForEnd(std::chrono::seconds(30)));
  // A squashfs mount made by someone else, without a record.
  const std::string manual = run.volumes() + "/Manual";
  fs::create_directory(manual);
  ASSERT_TRUE(QuickTask::executeTask("/usr/bin/squashfuse", Arguments{{other.string(), manual}}));

  const auto reclaim = run.runTool({"reclaim", cache.parent_path().string() + "/"});
  EXPECT_EQ(reclaim.status, 0) << reclaim.error;
  EXPECT_EQ(reclaim.output, "reclaimed disk1 at " + gone->mountPoint + " (its owner has ended)\n" +
                                "removed the record of disk4 (nothing is mounted at " +
                                unmounted->mountPoint + ")\n");
  const auto mounts = mountsBelow(run.volumes());
  EXPECT_EQ(std::set(mounts.begin(), mounts.end()),
            (std::set{running->mountPoint, elsewhere->mountPoint, manual}));
  EXPECT_EQ(run.records(), (std::vector<std::string>{"disk2", "disk3"}));
  // A mount point without a record is detached as macOS detaches one.
  EXPECT_EQ(run.runTool({"detach", manual}).output, "\"" + manual + "\" ejected.\n");
  run.detachAll();
}

TEST_F(HdiutilTest, BadImagesCommandLinesAndFoldersOfMountPointsAreRefusedWithOneLine) {
  const std::string bytes = readFile(image);
  std::string damaged = bytes;  // a sound superblock in front of damaged tables
  for (std::size_t i = 96; i < damaged.size(); ++i) damaged[i] = static_cast<char>(~damaged[i]);
  writeFile(work / "text.dmg", "just text, long enough for a superblock" + std::string(100, 'x'),
            fs::perms(0644));
  writeFile(work / "truncated.dmg", bytes.substr(0, 200), fs::perms(0644));
  writeFile(work / "damaged.dmg", damaged, fs::perms(0644));
  // Folders of mount points: a file, a link, one open to all, another user's, and one with a
  // tmpfs mounted in it, as only disk images are detached by mount point.
  writeFile(work / "file", "", fs::perms(0644));
  fs::create_directory_symlink(work / "root", work / "link");
  fs::create_directories(work / "open");
  fs::permissions(work / "open", fs::perms(0777));
  const bool root = ::geteuid() == 0;
  fs::create_directories(work / "theirs");
  ASSERT_TRUE(!root || ::chown((work / "theirs").c_str(), 65534, 65534) == 0);
  fs::create_directories(work / "mounts/Other");
  ASSERT_TRUE(!root || ::mount("tove", (work / "mounts/Other").c_str(), "tmpfs", 0, "") == 0);
  const auto in = [&](const char* volumes) {
    return std::vector<std::string>{"SPARKLER_HDIUTIL_VOLUMES=" + (work / volumes).string()};
  };
  struct Refusal {
    std::vector<std::string> arguments;
    std::string mentions;  // by the one line it writes
    std::vector<std::string> environment = {};
  };
  std::vector<Refusal> refusals{
      {{"attach", (work / "missing.dmg").string(), "-nobrowse"}, "No such file"},
      {{"attach", (work / "text.dmg").string()}, "not a disk image"},
      {{"attach", (work / "truncated.dmg").string()}, "corrupt"},
      {{"attach", (work / "damaged.dmg").string()}, "corrupt"},
      {{}, "usage"},
      {{"mount", image.string()}, "unknown command"},
      {{"attach", image.string(), "-readwrite"}, "unknown option"},
      {{"detach", (work / "x").string()}, "not a mount point in"},
      {{"detach", run.volumes() + "/nothing"}, "nothing is attached"},
      {{"reclaim"}, "one folder must be given"},
      {{"attach", image.string()}, "not a folder", in("file")},
      {{"attach", image.string()}, "symbolic link", in("link")},
      {{"attach", image.string()}, "not sticky", in("open")}};
  for (const char* device : {"/dev/disk99s1", "disk1s2", "sda1", "/dev/sda1"})
    refusals.push_back({{"detach", device}, "no such device"});
  if (root) {
    refusals.push_back({{"attach", image.string()}, "another user", in("theirs")});
    refusals.push_back({{"detach", (work / "mounts/Other").string(), "-force"},
                        "is not a disk image (tmpfs)",
                        in("mounts")});
  } else {
    refusals.push_back({{"attach", image.string()},
                        "sudo mkdir",
                        {"SPARKLER_HDIUTIL_VOLUMES=/usr/tove-test-volumes"}});
  }
  for (const auto& [arguments, mentions, environment] : refusals) {
    SCOPED_TRACE(mentions);
    const auto result = run.runTool(arguments, environment);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(lines(result.error).size(), 1u) << result.error;
    EXPECT_NE(result.error.find(mentions), std::string::npos) << result.error;
    EXPECT_EQ(run.leftovers(), std::vector<std::string>{});
  }
  EXPECT_TRUE(!root || ::umount((work / "mounts/Other").c_str()) == 0);
}

}  // namespace
}  // namespace sparkler::test

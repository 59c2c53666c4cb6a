// The disk image tool, run as the updater runs it, and killed, stalled and squatted as a
// hostile or unlucky machine would.

#include <poll.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "DiskImageSupport.h"

extern char** environ;

namespace tove::test {
namespace {

// Sets an environment variable for the scope, restoring what was there after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

int pidfdOf(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Whether the process behind `pidfd` has ended, without waiting.
bool ended(int pidfd) {
  pollfd watch{pidfd, POLLIN, 0};
  return ::poll(&watch, 1, 0) == 1;
}

// A program started in the background, its output in a file; killed and reaped when the test
// ends, however it ends.
class Started {
 public:
  Started(const std::string& program, const std::vector<std::string>& arguments,
          const fs::path& output) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (auto& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, pointers.data(), environ) != 0) {
      pid_ = 0;
    }
    posix_spawn_file_actions_destroy(&actions);
    if (pid_ > 0) pidfd_ = pidfdOf(pid_);
  }
  ~Started() {
    kill();
    if (pidfd_ >= 0) ::close(pidfd_);
  }
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;

  bool started() const { return pid_ > 0 && pidfd_ >= 0; }
  int pidfd() const { return pidfd_; }

  // Its exit status (128 + signal when killed); -1 when it was not started or already reaped.
  int wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    wait();
  }

 private:
  pid_t pid_ = 0;
  int pidfd_ = -1;
};

// A FIFO that a program writes one line to, to say it has reached a point.
class Rendezvous {
 public:
  explicit Rendezvous(const fs::path& path) : path_(path) {
    ::mkfifo(path.c_str(), 0600);
    // Opened without waiting for a writer; Linux reports no hang-up before a first writer.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  ~Rendezvous() {
    if (fd_ >= 0) ::close(fd_);
  }
  Rendezvous(const Rendezvous&) = delete;
  Rendezvous& operator=(const Rendezvous&) = delete;

  const fs::path& path() const { return path_; }

  // The line written; nullopt when the process behind `pidfd` ended without writing it.
  std::optional<std::string> line(int pidfd) {
    std::string text;
    for (;;) {
      pollfd watch[2] = {{fd_, POLLIN, 0}, {pidfd, POLLIN, 0}};
      if (::poll(watch, 2, -1) < 0 && errno != EINTR) return std::nullopt;
      if (watch[0].revents != 0) {
        char buffer[256];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n == 0) return std::nullopt;  // the writer left without a whole line
        if (n > 0) text.append(buffer, std::size_t(n));
        if (const auto end = text.find('\n'); end != std::string::npos) return text.substr(0, end);
      } else if (watch[1].revents != 0) {
        return std::nullopt;
      }
    }
  }

 private:
  fs::path path_;
  int fd_ = -1;
};

class HdiutilTest : public DiskImageTest {
 protected:
  fs::path image = work / "Disk \"Q\" 'one'.dmg";
  std::string mountPointName = "Disk \"Q\" 'one'";

  void SetUp() override {
    writeFile(work / "root" / "Tove.app" / "Contents" / "Info.plist", "<plist/>", fs::perms(0644));
    writeFile(work / "root" / "setuid", "#!/bin/sh\n", fs::perms(04755));
    ASSERT_TRUE(DiskImageRun::makeImage(work / "root", image));
  }

  struct Attached {
    std::string disk;  // diskN
    std::string mountPoint;
  };

  // The attach output in hdiutil's grammar, read strictly.
  static std::optional<Attached> parse(const ToolRun& attach) {
    static const std::regex grammar(
        "/dev/(disk[1-9][0-9]*)\tGUID_partition_scheme\t\n/dev/(disk[1-9][0-9]*)s1\tApple_HFS\t("
        "[^\n]+)\n");
    std::smatch match;
    if (attach.status != 0 || !std::regex_match(attach.out, match, grammar) ||
        match[1] != match[2]) {
      return std::nullopt;
    }
    return Attached{match[1], match[3]};
  }

  std::optional<Attached> attach(const fs::path& file) {
    const auto result = run.runTool({"attach", file.string(), "-nobrowse"});
    auto attached = parse(result);
    EXPECT_TRUE(attached) << result.out << result.err;
    return attached;
  }

  void expectOneLineError(const ToolRun& result, const std::string& mentions) {
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.out.empty()) << result.out;
    const auto errorLines = lines(result.err);
    ASSERT_EQ(errorLines.size(), 1u) << result.err;
    EXPECT_NE(errorLines[0].find(mentions), std::string::npos) << errorLines[0];
    EXPECT_TRUE(run.records().empty());
    EXPECT_TRUE(run.volumes().empty() || fs::is_empty(run.volumes()));
  }

  // Nothing of the tool's is left: no record, mount, mount point or squashfuse.
  void expectNothingLeft() {
    EXPECT_TRUE(run.records().empty());
    EXPECT_TRUE(mountsBelow(run.volumes()).empty());
    EXPECT_TRUE(fs::is_empty(run.volumes()));
    EXPECT_TRUE(daemonsBelow(run.volumes()).empty());
  }

  // Stand-ins for the programs the tool runs, found first along PATH. Each runs the real
  // program; with TOVE_TEST_STOP=<name>:before (or :after) it first (or then) writes its
  // process id to $TOVE_TEST_FIFO, when set, and stops itself.
  fs::path makeStandIns() {
    const fs::path folder = work / "bin";
    for (const std::string name : {"unsquashfs", "squashfuse", "mount"}) {
      std::string real;
      for (const char* dir : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"}) {
        if (real.empty() && ::access((dir + name).c_str(), X_OK) == 0) real = dir + name;
      }
      writeFile(folder / name,
                "#!/bin/sh\n"
                "stop() { [ -n \"$TOVE_TEST_FIFO\" ] && echo $$ > \"$TOVE_TEST_FIFO\"; kill -STOP "
                "$$; }\n"
                "[ \"$TOVE_TEST_STOP\" = " +
                    name + ":before ] && stop\n\"" + real +
                    "\" \"$@\" || exit\n"
                    "[ \"$TOVE_TEST_STOP\" = " +
                    name + ":after ] && stop\nexit 0\n",
                fs::perms(0755));
    }
    return folder;
  }

  std::string pathWith(const fs::path& folder) {
    const char* path = std::getenv("PATH");
    return folder.string() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
  }
};

TEST_F(HdiutilTest, AttachMountsReadOnlyAndDetachByAnyFormRemovesEverything) {
  requireMounting();
  for (const auto& [mounter, form] : {std::pair<std::string, std::string>{"", "diskN"},
                                      {"fuse", "/dev/diskNs1"},
                                      {"kernel", "diskNs1"},
                                      {"", "/dev/diskN"},
                                      {"fuse", "MOUNTPOINT"},
                                      {"kernel", "MOUNTPOINT/"}}) {
    if (mounter == "kernel" && ::geteuid() != 0) continue;
    SCOPED_TRACE(mounter + " " + form);
    std::optional<Attached> attached;
    {
      ScopedEnv useMounter("TOVE_HDIUTIL_MOUNTER", mounter);
      attached = attach(image);
    }
    ASSERT_TRUE(attached);
    EXPECT_EQ(attached->mountPoint, run.volumes() + "/" + mountPointName);
    EXPECT_EQ(mountsBelow(run.volumes()), std::vector<std::string>{attached->mountPoint});
    EXPECT_EQ(readFile(attached->mountPoint + "/Tove.app/Contents/Info.plist"), "<plist/>");
    struct statvfs volume {};
    ASSERT_EQ(::statvfs(attached->mountPoint.c_str(), &volume), 0);
    EXPECT_TRUE(volume.f_flag & ST_RDONLY);
    EXPECT_TRUE(volume.f_flag & ST_NOSUID);
    EXPECT_TRUE(volume.f_flag & ST_NODEV);
    EXPECT_EQ(run.records(), std::vector<std::string>{attached->disk});

    std::string device = std::regex_replace(form, std::regex("diskN"), attached->disk);
    device = std::regex_replace(device, std::regex("MOUNTPOINT"), attached->mountPoint);
    const auto detach = run.runTool({"detach", device});
    EXPECT_EQ(detach.status, 0) << detach.err;
    EXPECT_EQ(detach.out, "\"" + attached->disk + "\" ejected.\n");
    expectNothingLeft();
  }
}

TEST_F(HdiutilTest, TakenNamesAndConcurrentAttachesGetTheirOwnDiskAndMountPoint) {
  requireMounting();
  constexpr int kAttaches = 6;
  std::vector<ToolRun> results(kAttaches);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kAttaches; ++i) {
      threads.emplace_back([&, i] {
        results[i] = run.runTool({"attach", image.string(), "-nobrowse"});
      });
    }
  }
  std::set<std::string> disks, mountPoints;
  for (const auto& result : results) {
    const auto attached = parse(result);
    ASSERT_TRUE(attached) << result.out << result.err;
    disks.insert(attached->disk);
    mountPoints.insert(attached->mountPoint);
  }
  EXPECT_EQ(disks.size(), std::size_t{kAttaches});
  const std::string base = run.volumes() + "/" + mountPointName;
  std::set<std::string> expected{base};
  for (int i = 1; i < kAttaches; ++i) expected.insert(base + " " + std::to_string(i));
  EXPECT_EQ(mountPoints, expected);
  for (const auto& disk : disks) EXPECT_EQ(run.runTool({"detach", disk}).status, 0);
}

TEST_F(HdiutilTest, MountPointNamesFitAndSquattersNeitherDenyNorRedirectThem) {
  requireMounting();
  // A 255-byte name without extension: the volume name is the whole file name. " 1" leaves
  // room for 253 bytes, which would split the 127th é: it goes whole.
  std::string name;
  for (int i = 0; i < 127; ++i) name += "\xC3\xA9";  // é
  name += "a";
  fs::copy_file(image, work / name);
  const auto longFirst = attach(work / name);
  const auto longSecond = attach(work / name);
  ASSERT_TRUE(longFirst && longSecond);
  EXPECT_EQ(longFirst->mountPoint, run.volumes() + "/" + name);
  EXPECT_EQ(longSecond->mountPoint, run.volumes() + "/" + name.substr(0, 252) + " 1");
  EXPECT_EQ(run.runTool({"detach", longFirst->disk}).status, 0);
  EXPECT_EQ(run.runTool({"detach", longSecond->disk}).status, 0);

  // Another user has made the plain name and every numbered one a tool could try before
  // giving up (a hundred stand for them all), one a symbolic link to a folder of theirs.
  const std::string base = run.volumes() + "/" + mountPointName;
  const fs::path theirs = work / "theirs";
  writeFile(theirs / "mine", "theirs", fs::perms(0644));
  constexpr int kSquatted = 100;
  for (int i = 0; i < kSquatted; ++i) {
    const std::string squatted = i == 0 ? base : base + " " + std::to_string(i);
    if (i == 3) {
      fs::create_directory_symlink(theirs, squatted);
    } else {
      ASSERT_TRUE(fs::create_directory(squatted));
      if (::geteuid() == 0) {
        ASSERT_EQ(::chown(squatted.c_str(), 65534, 65534), 0);
      }
    }
  }
  const auto first = attach(image);
  const auto second = attach(image);
  ASSERT_TRUE(first && second);
  const std::regex unpredictable(
      std::regex_replace(base, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") + " [0-9a-f]{12}");
  EXPECT_TRUE(std::regex_match(first->mountPoint, unpredictable)) << first->mountPoint;
  EXPECT_TRUE(std::regex_match(second->mountPoint, unpredictable)) << second->mountPoint;
  EXPECT_NE(first->mountPoint, second->mountPoint);
  EXPECT_EQ(readFile(first->mountPoint + "/Tove.app/Contents/Info.plist"), "<plist/>");
  EXPECT_TRUE(mountsBelow(theirs.string()).empty());
  EXPECT_EQ(readFile(theirs / "mine"), "theirs");
  EXPECT_EQ(run.runTool({"detach", first->disk}).status, 0);
  EXPECT_EQ(run.runTool({"detach", second->mountPoint}).status, 0);
  // The squatter's names are theirs: detaching took none of them.
  EXPECT_EQ(fs::read_symlink(base + " 3"), theirs);
  std::size_t left = 0;
  for (const auto& entry : fs::directory_iterator(run.volumes())) {
    ++left;
    fs::remove(entry.path());
  }
  EXPECT_EQ(left, std::size_t{kSquatted});
  expectNothingLeft();
}

TEST_F(HdiutilTest, AnAttachKilledOrStuckAnywhereLeavesNothingThatCannotBeRemoved) {
  requireMounting();
  const ScopedEnv path("PATH", pathWith(makeStandIns()));
  enum Then { kReclaim, kDetach, kStopDaemonAndReclaim, kTimeLimit };
  struct Point {
    std::string stop;     // where the tool stops: inside which program, before or after it
    std::string mounter;  // TOVE_HDIUTIL_MOUNTER
    Then then;            // what ends it and cleans up after it
  };
  std::vector<Point> points{{"unsquashfs:before", "", kReclaim},
                            {"unsquashfs:before", "", kTimeLimit},
                            {"squashfuse:before", "fuse", kDetach},
                            {"squashfuse:before", "fuse", kTimeLimit},
                            {"squashfuse:after", "fuse", kStopDaemonAndReclaim},
                            {"squashfuse:after", "fuse", kDetach}};
  if (::geteuid() == 0) {
    points.push_back({"mount:before", "kernel", kReclaim});
    points.push_back({"mount:after", "kernel", kDetach});
  }
  const std::string mountPoint = run.volumes() + "/" + mountPointName;
  const fs::path output = work / "attach-output";
  int round = 0;
  for (const Point& point : points) {
    SCOPED_TRACE(point.stop + " " + point.mounter + " " + std::to_string(point.then));
    Rendezvous reached(work / ("reached-" + std::to_string(++round)));
    std::optional<Started> tool;
    {
      const ScopedEnv stop("TOVE_TEST_STOP", point.stop);
      const ScopedEnv fifo("TOVE_TEST_FIFO", reached.path().string());
      const ScopedEnv mounter("TOVE_HDIUTIL_MOUNTER", point.mounter);
      const ScopedEnv limit("TOVE_HDIUTIL_TIME_LIMIT", point.then == kTimeLimit ? "1" : "");
      tool.emplace(DiskImageRun::tool(), std::vector<std::string>{"attach", image.string()},
                   output);
    }
    const auto standIn = reached.line(tool->pidfd());
    ASSERT_TRUE(standIn) << readFile(output);
    if (point.then == kTimeLimit) {
      const int stuck = pidfdOf(std::stoi(*standIn));
      EXPECT_EQ(tool->wait(), 1);
      const auto message = lines(readFile(output));
      const std::string program = point.stop.substr(0, point.stop.find(':'));
      ASSERT_EQ(message.size(), 1u);
      EXPECT_NE(message[0].find(program + " did not finish within 1 s"), std::string::npos)
          << message[0];
      EXPECT_TRUE(ended(stuck));
      ::close(stuck);
      expectNothingLeft();
      continue;
    }
    const bool mounting = point.stop.rfind("unsquashfs", 0) != 0;
    EXPECT_EQ(run.records().size(), mounting ? 1u : 0u);
    EXPECT_EQ(fs::exists(mountPoint), mounting);
    EXPECT_EQ(mountsBelow(run.volumes()).size(), point.stop.ends_with(":after") ? 1u : 0u);

    tool->kill();
    ::kill(std::stoi(*standIn), SIGKILL);
    std::vector<int> daemons;
    for (const pid_t daemon : daemonsBelow(run.volumes())) {
      daemons.push_back(pidfdOf(daemon));
      if (point.then == kStopDaemonAndReclaim) ::kill(daemon, SIGSTOP);
    }
    if (point.then == kDetach) {
      const auto detach = run.runTool({"detach", mountPoint});
      EXPECT_EQ(detach.status, 0) << detach.err;
      EXPECT_EQ(detach.out, "\"disk1\" ejected.\n");
    } else {
      const auto reclaim = run.runTool({"reclaim", work.string()});
      EXPECT_EQ(reclaim.status, 0) << reclaim.err;
      EXPECT_EQ(
          reclaim.out,
          mounting ? "reclaimed disk1 at " + mountPoint + " (its attach was interrupted)\n" : "");
    }
    expectNothingLeft();
    for (const int daemon : daemons) {
      EXPECT_TRUE(ended(daemon));
      ::close(daemon);
    }
  }
}

TEST_F(HdiutilTest, ReclaimTakesImagesInItsFolderWhoseOwnerEndedAndNothingElse) {
  requireMounting();
  const fs::path cache = work / "cache";
  const fs::path other = work / "other";
  fs::create_directories(cache);
  fs::create_directories(other);
  fs::copy_file(image, cache / "Cached.dmg");
  fs::copy_file(image, other / "Elsewhere.dmg");

  // Each owner is a shell that runs attach, reports, and stays until it is killed.
  struct Owner {
    std::unique_ptr<Rendezvous> done;
    std::unique_ptr<Started> shell;
    std::string mountPoint;
  };
  int count = 0;
  const auto startOwner = [&](const fs::path& file) {
    Owner owner;
    const std::string name = "owner-" + std::to_string(++count);
    owner.done = std::make_unique<Rendezvous>(work / (name + ".fifo"));
    owner.shell = std::make_unique<Started>(
        "/bin/sh",
        std::vector<std::string>{"-c",
                                 "\"$0\" attach \"$1\" -nobrowse >\"$2\"; echo $? >\"$3\"; kill "
                                 "-STOP $$",
                                 DiskImageRun::tool(), file.string(), (work / name).string(),
                                 owner.done->path().string()},
        work / (name + ".err"));
    const auto status = owner.done->line(owner.shell->pidfd());
    EXPECT_EQ(status, "0") << readFile(work / (name + ".err"));
    const auto attached = parse(ToolRun{0, readFile(work / name), ""});
    if (attached) owner.mountPoint = attached->mountPoint;
    return owner;
  };
  Owner gone = startOwner(cache / "Cached.dmg");           // disk1
  Owner running = startOwner(cache / "Cached.dmg");        // disk2
  Owner elsewhere = startOwner(other / "Elsewhere.dmg");   // disk3
  const auto unmounted = attach(other / "Elsewhere.dmg");  // disk4
  ASSERT_TRUE(unmounted && !gone.mountPoint.empty() && !running.mountPoint.empty() &&
              !elsewhere.mountPoint.empty());
  // Unmounted behind the tool's back; its daemon then ends by itself.
  std::vector<int> daemonOfUnmounted;
  for (const pid_t pid : daemonsBelow(run.volumes())) {
    const auto argv = commandLineOf(pid);
    if (!argv.empty() && argv.back() == unmounted->mountPoint) {
      daemonOfUnmounted.push_back(pidfdOf(pid));
    }
  }
  ASSERT_TRUE(
      QuickTask::executeTask("/usr/bin/fusermount3", Arguments{{"-u", unmounted->mountPoint}}) ||
      QuickTask::executeTask("/usr/bin/umount", Arguments{{unmounted->mountPoint}}));
  for (const int pidfd : daemonOfUnmounted) {
    pollfd watch{pidfd, POLLIN, 0};
    ::poll(&watch, 1, -1);
    ::close(pidfd);
  }
  // A squashfs mount made by someone else, without a record.
  const std::string manual = run.volumes() + "/Manual";
  fs::create_directory(manual);
  ASSERT_TRUE(QuickTask::executeTask("/usr/bin/squashfuse",
                                     Arguments{{(other / "Elsewhere.dmg").string(), manual}}));
  gone.shell->kill();
  elsewhere.shell->kill();

  auto reclaim = run.runTool({"reclaim", cache.string()});
  EXPECT_EQ(reclaim.status, 0) << reclaim.err;
  EXPECT_EQ(reclaim.out, "reclaimed disk1 at " + gone.mountPoint +
                             " (its owner has ended)\nremoved the record of disk4 (nothing is "
                             "mounted at " +
                             unmounted->mountPoint + ")\n");
  EXPECT_FALSE(fs::exists(gone.mountPoint));
  EXPECT_FALSE(fs::exists(unmounted->mountPoint));
  auto mounts = mountsBelow(run.volumes());
  std::sort(mounts.begin(), mounts.end());
  std::vector<std::string> expectedMounts{running.mountPoint, elsewhere.mountPoint, manual};
  std::sort(expectedMounts.begin(), expectedMounts.end());
  EXPECT_EQ(mounts, expectedMounts);
  EXPECT_EQ(run.records(), (std::vector<std::string>{"disk2", "disk3"}));

  // A mount point without a record is detached as macOS detaches one.
  const auto detachManual = run.runTool({"detach", manual});
  EXPECT_EQ(detachManual.status, 0) << detachManual.err;
  EXPECT_EQ(detachManual.out, "\"" + manual + "\" ejected.\n");

  running.shell->kill();
  reclaim = run.runTool({"reclaim", cache.string() + "/"});
  EXPECT_EQ(reclaim.status, 0) << reclaim.err;
  EXPECT_EQ(reclaim.out, "reclaimed disk2 at " + running.mountPoint + " (its owner has ended)\n");
  EXPECT_EQ(run.runTool({"detach", "disk3"}).status, 0);
  expectNothingLeft();
}

TEST_F(HdiutilTest, ForceDetachEndsAStoppedDaemonAndFailsItsBlockedReaders) {
  requireMounting();
  const auto attached = attach(image);
  ASSERT_TRUE(attached);
  const auto daemons = daemonsBelow(run.volumes());
  ASSERT_EQ(daemons.size(), 1u);
  const int daemon = pidfdOf(daemons.front());
  ::kill(daemons.front(), SIGSTOP);
  // A reader of the mount now waits on the daemon for ever, as an installation's copy would.
  Started reader("/bin/cat", {attached->mountPoint + "/Tove.app/Contents/Info.plist"},
                 work / "reader-output");

  const auto detach = run.runTool({"detach", attached->disk, "-force"});
  EXPECT_EQ(detach.status, 0) << detach.err;
  EXPECT_EQ(detach.out, "\"" + attached->disk + "\" ejected.\n");
  EXPECT_NE(reader.wait(), 0);
  EXPECT_TRUE(ended(daemon));
  ::close(daemon);
  expectNothingLeft();
}

TEST_F(HdiutilTest, BadImagesAndCommandLinesAreRefusedWithOneLine) {
  requireMounting();
  expectOneLineError(run.runTool({"attach", (work / "missing.dmg").string(), "-nobrowse"}),
                     "No such file");
  writeFile(work / "text.dmg", "just text, long enough for a superblock" + std::string(100, 'x'),
            fs::perms(0644));
  expectOneLineError(run.runTool({"attach", (work / "text.dmg").string()}), "not a disk image");
  const std::string bytes = readFile(image);
  writeFile(work / "truncated.dmg", bytes.substr(0, 200), fs::perms(0644));
  expectOneLineError(run.runTool({"attach", (work / "truncated.dmg").string()}), "corrupt");
  // A sound superblock in front of damaged tables.
  std::string damaged = bytes;
  for (std::size_t i = 96; i < damaged.size(); ++i) damaged[i] = static_cast<char>(~damaged[i]);
  writeFile(work / "damaged.dmg", damaged, fs::perms(0644));
  expectOneLineError(run.runTool({"attach", (work / "damaged.dmg").string()}), "corrupt");

  expectOneLineError(run.runTool({}), "usage");
  expectOneLineError(run.runTool({"mount", image.string()}), "unknown command");
  expectOneLineError(run.runTool({"attach", image.string(), "-readwrite"}), "unknown option");
  for (const char* device : {"/dev/disk99s1", "disk1s2", "sda1", "/dev/sda1"})
    expectOneLineError(run.runTool({"detach", device}), "no such device");
  expectOneLineError(run.runTool({"detach", (work / "x").string()}), "not a mount point in");
  expectOneLineError(run.runTool({"detach", run.volumes() + "/nothing"}), "nothing is attached");
  expectOneLineError(run.runTool({"reclaim"}), "one folder must be given");
  if (::geteuid() == 0) {
    // Only disk images are detached by mount point.
    const std::string other = run.volumes() + "/Other";
    fs::create_directory(other);
    ASSERT_EQ(::mount("tove-test", other.c_str(), "tmpfs", 0, "size=1m"), 0);
    const auto refused = run.runTool({"detach", other, "-force"});
    EXPECT_EQ(::umount(other.c_str()), 0);
    fs::remove(other);
    expectOneLineError(refused, "is not a disk image (tmpfs)");
  }
}

TEST_F(HdiutilTest, AnUnfitFolderOfMountPointsIsRefusedWithOneLine) {
  const auto attachWithVolumes = [&](const fs::path& volumes) {
    const ScopedEnv scoped("TOVE_HDIUTIL_VOLUMES", volumes.string());
    return run.runTool({"attach", image.string()});
  };
  writeFile(work / "file", "", fs::perms(0644));
  expectOneLineError(attachWithVolumes(work / "file"), "not a folder");
  fs::create_directory(work / "real");
  fs::create_directory_symlink(work / "real", work / "link");
  expectOneLineError(attachWithVolumes(work / "link"), "symbolic link");
  fs::create_directory(work / "open");
  fs::permissions(work / "open", fs::perms(0777));
  expectOneLineError(attachWithVolumes(work / "open"), "not sticky");
  if (::geteuid() == 0) {
    fs::create_directory(work / "theirs");
    ASSERT_EQ(::chown((work / "theirs").c_str(), 65534, 65534), 0);
    expectOneLineError(attachWithVolumes(work / "theirs"), "another user");
  } else {
    expectOneLineError(attachWithVolumes("/usr/tove-test-volumes"), "sudo mkdir");
  }
}

}  // namespace
}  // namespace tove::test

// A whole installation by an ordinary user, with the real disk image tool: an app in the
// user's own folder updates through FUSE, with mount points and records in the user's runtime
// folder, and says what is missing when FUSE is closed to the user.
//
// Run as root, the test lends the user FUSE hermetically: in a private mount namespace a
// device node of its own (FUSE's, 10:229) is bound over /dev/fuse, open to all or to root
// only, and the program then drops to nobody. Whatever it mounted ends with that namespace.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "sparkler/testing/DiskImages.h"

namespace sparkler::test {
namespace {

constexpr uid_t kNobody = 65534;

class UnprivilegedInstallTest : public ::testing::Test {
 protected:
  sparkler::testing::TempDir dir{"tove-unprivileged"};
  fs::path top = dir.path();
  fs::path user = top / "user";  // the user's: HOME, runtime folder, the installed app
  fs::path runtime = user / "runtime";
  fs::path bundle = user / "Applications" / "Tove.app";
  fs::path image = top / "Tove-1.0.1.dmg";
  fs::path newContents = top / "build" / "Tove.app" / "Contents";
  bool asRoot = ::geteuid() == 0;

  void SetUp() override {
    if (const auto missing = whyNot()) GTEST_SKIP() << "skipped: " << *missing;
    makeApp(top / "build", "1.0.1");
    ASSERT_TRUE(DiskImageRun::makeImage(top / "build", image));
    makeApp(bundle.parent_path(), "1.0.0");
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    // The programs are run from here: the build tree may be closed to the user.
    for (const char* program : {TOVE_TEST_HDIUTIL, TOVE_TEST_EXTRACT_CHILD})
      fs::copy_file(program, top / fs::path(program).filename());
    fs::permissions(top, fs::perms(0755));
    if (asRoot) {
      for (const auto& entry : fs::recursive_directory_iterator(user))
        ASSERT_EQ(::lchown(entry.path().c_str(), kNobody, kNobody), 0);
      ASSERT_EQ(::chown(user.c_str(), kNobody, kNobody), 0);
    }
  }

  void TearDown() override {
    // A squashfuse left running keeps its namespace and mount alive: end it (as root, the
    // namespace goes with it), then unmount what a run in this namespace left.
    for (const pid_t daemon : daemonsBelow(runtime.string())) ::kill(daemon, SIGKILL);
    for (const std::string& at : mountsBelow(runtime.string()))
      QuickTask::executeTask("/usr/bin/fusermount3", Arguments{{"-u", "-z", at}});
  }

  // Why the installation cannot run as another user here; nullopt when it can.
  std::optional<std::string> whyNot() const {
    if (top.empty()) return "no temporary folder";
    if (!asRoot) {
      if (::access("/dev/fuse", R_OK | W_OK) != 0)
        return "/dev/fuse is closed to this user, and only root can lend it one";
      return std::nullopt;
    }
    for (const char* program : {"/usr/bin/unshare", "/usr/bin/setpriv", "/usr/bin/squashfuse"})
      if (::access(program, X_OK) != 0) return std::string(program) + " is not installed";
    const auto probe = asUser(true, {"/bin/true"});
    if (probe.status != 0) return "FUSE cannot be lent to another user here: " + probe.failure();
    return std::nullopt;
  }

  // Installs the update as the user; FUSE open to them when `fuse`.
  RunResult install(bool fuse) {
    return asUser(
        fuse, {"env", "-i", "HOME=" + user.string(), "XDG_RUNTIME_DIR=" + runtime.string(),
               "PATH=/usr/local/bin:/usr/bin:/bin", (top / "extract_child").string(),
               (top / "hdiutil").string(), image.string(), "Tove.app/Contents", bundle.string()});
  }

  // Runs `command` as the user, with FUSE open to them when `fuse`.
  RunResult asUser(bool fuse, const std::vector<std::string>& command) const {
    if (!asRoot) {
      return QuickTask::run("/usr/bin/env", Arguments{command},
                            RunOptions{std::chrono::minutes(3), 1 << 16, 1 << 16});
    }
    fs::create_directories(top / "dev");
    const std::string lend =
        "mount -t tmpfs -o mode=0755,size=64k tove \"$0\" && mknod -m " +
        std::string(fuse ? "0666" : "0600") +
        " \"$0/fuse\" c 10 229 && mount --bind \"$0/fuse\" /dev/fuse && exec setpriv --reuid " +
        std::to_string(kNobody) + " --regid " + std::to_string(kNobody) + " --clear-groups \"$@\"";
    std::vector<std::string> arguments{
        "--mount", "--propagation", "private", "--", "/bin/sh", "-c", lend, (top / "dev").string()};
    arguments.insert(arguments.end(), command.begin(), command.end());
    return QuickTask::run("/usr/bin/unshare", Arguments{arguments},
                          RunOptions{std::chrono::minutes(3), 1 << 16, 1 << 16});
  }

  // What the user's runtime folder holds besides empty folders of the tool: records, mount
  // points, squashfuse processes.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> left;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(runtime, error)) {
      const std::string name = entry.path().filename();
      if (entry.path().parent_path().filename() == "Volumes" || name.starts_with("disk"))
        left.push_back(entry.path());
    }
    for (const pid_t pid : daemonsBelow(runtime.string()))
      left.push_back("squashfuse " + std::to_string(pid));
    return left;
  }
};

TEST_F(UnprivilegedInstallTest, AnOrdinaryUserUpdatesThroughFuseOrIsToldHowToAllowIt) {
  const auto before = snapshot(bundle);
  if (asRoot) {
    const auto refused = install(false);
    EXPECT_EQ(refused.status, 1) << refused.output << refused.error;
    EXPECT_NE(refused.output.find("failed hdiutil attach exited with status 1: hdiutil: attach "
                                  "failed - cannot open /dev/fuse: Permission denied — "
                                  "squashfuse needs FUSE; install fuse3 and make /dev/fuse "
                                  "usable by this user (mode 0666"),
              std::string::npos)
        << refused.output << refused.error;
    EXPECT_EQ(snapshot(bundle), before);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }

  const auto installed = install(true);
  EXPECT_EQ(installed.status, 0) << installed.output << installed.error;
  // A /Volumes open to every user would do as well; the user's own folder is used otherwise.
  const std::string volumes = "(/Volumes|" + (runtime / "Volumes").string() + ")";
  EXPECT_TRUE(std::regex_match(installed.output,
                               std::regex("mounted " + volumes + "/Tove-1\\.0\\.1\ninstalled " +
                                          (bundle / "Contents").string() + "\n")))
      << installed.output << installed.error;
  EXPECT_EQ(snapshot(bundle / "Contents"), snapshot(newContents));
  struct stat info {};
  ASSERT_EQ(::stat((bundle / "Contents").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, asRoot ? kNobody : ::geteuid());
  EXPECT_TRUE(fs::is_directory(runtime / "tove-hdiutil"));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace sparkler::test

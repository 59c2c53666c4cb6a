#include "Detacher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "Programs.h"
#include "sparkler/MountTable.h"

namespace sparkler::hdiutil {
namespace {

std::set<pid_t> daemonsOf(const Attachment& attachment) {
  const auto found = Programs::daemonsServing(attachment.image, attachment.realMountPoint);
  std::set<pid_t> daemons(found.begin(), found.end());
  if (attachment.daemon > 0) daemons.insert(attachment.daemon);
  return daemons;
}

// Runs the unmount program that fits the file system type. fusermount3 unmounts FUSE mounts
// for users as well as for root; umount is told not to resolve the path, which would look
// at the mounted file system.
std::optional<std::string> runUnmount(const std::string& mountPoint, const std::string& type,
                                      bool lazy, std::chrono::seconds limit) {
  const bool fuse = type.rfind("fuse", 0) == 0;
  std::optional<std::string> program = fuse ? Programs::find("fusermount3") : std::nullopt;
  Arguments arguments;
  if (program) {
    arguments.list = {"-u"};
    if (lazy) arguments.list.push_back("-z");
  } else {
    program = Programs::find("umount");
    if (!program) return "neither fusermount3 nor umount can be found";
    arguments.list = {"--no-canonicalize"};
    if (lazy) arguments.list.push_back("--lazy");
  }
  arguments.list.push_back(mountPoint);
  const RunResult result = Programs::run(*program, arguments, limit);
  if (!MountTable::isMountPoint(mountPoint)) return std::nullopt;
  const std::string name = program->substr(program->rfind('/') + 1);
  if (result.timedOut) return name + " " + Programs::whyFailed(result, limit) + " (try -force)";
  if (lazy) return name + " " + Programs::whyFailed(result, limit);
  return "it is in use (try -force)";
}

}  // namespace

bool Detacher::isDiskImageType(const std::string& type) {
  return type == "squashfs" || type == "fuse.squashfuse" || type == "fuse.squashfuse_ll";
}

std::optional<std::string> Detacher::detach(const Attachment& attachment, bool force) {
  if (auto problem = release(attachment, force)) return problem;
  return removeFolder(attachment);
}

std::optional<std::string> Detacher::release(const Attachment& attachment, bool force) {
  const std::string& mountPoint = attachment.realMountPoint;
  if (force) {
    // Nothing that looks at the mount point may run while its daemon could be stopped or
    // hung: it would block for good. Killing the daemon aborts the connection, and every
    // request to the mount, pending or new, fails at once from then on.
    // The recorded daemon goes first: looking for others reads every process's command line,
    // which can wait on a process whose page fault waits on the daemon.
    const auto kill = [&](pid_t daemon) {
      Programs::killDaemon(daemon, attachment.image, mountPoint, Programs::limit(kKillLimit));
    };
    kill(attachment.daemon);
    for (const pid_t daemon : daemonsOf(attachment)) kill(daemon);
  }
  if (const auto type = MountTable::typeAt(mountPoint)) {
    if (!isDiskImageType(*type)) {
      return "something other than a disk image is mounted there (" + *type + ")";
    }
    if (auto problem =
            runUnmount(mountPoint, *type, force, force ? kForceUnmountLimit : kUnmountLimit)) {
      return problem;
    }
  }
  if (!force) {
    // squashfuse ends after its unmount; one that does not (stopped, say) serves nothing any
    // more, and nothing of ours outlives detach.
    for (const pid_t daemon : daemonsOf(attachment)) {
      if (!Programs::waitForDaemon(daemon, attachment.image, mountPoint,
                                   Programs::limit(kDaemonExitLimit))) {
        Programs::killDaemon(daemon, attachment.image, mountPoint, Programs::limit(kKillLimit));
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> Detacher::removeFolder(const Attachment& attachment) {
  const std::string& folder = attachment.realMountPoint;
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return "cannot read the mount point " + folder + ": " + std::strerror(errno);
  }
  // Not a folder we made: a name someone else created before us is theirs to keep.
  if (!S_ISDIR(info.st_mode)) return std::nullopt;
  if (attachment.folderMustBeOurs && info.st_uid != ::geteuid()) return std::nullopt;
  if (::rmdir(folder.c_str()) != 0 && errno != ENOENT) {
    return "cannot remove the mount point " + folder + ": " + std::strerror(errno);
  }
  return std::nullopt;
}

}  // namespace sparkler::hdiutil

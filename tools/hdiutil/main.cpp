// hdiutil for Linux: the command lines of the macOS disk image tool that the updater uses,
// for squashfs images.
//
//   hdiutil attach IMAGE [-nobrowse]
//       mounts IMAGE read-only at VOLUMES/<name> and prints
//       /dev/diskN<TAB>GUID_partition_scheme<TAB>
//       /dev/diskNs1<TAB>Apple_HFS<TAB>VOLUMES/<name>
//       VOLUMES is /Volumes for root, and for other users when it is there and writable for
//       them; otherwise the user's own $XDG_RUNTIME_DIR/Volumes (see UserFolders.h).
//       <name> is the image's file name without its extension; when that is taken, "<name> 1"
//       to "<name> 9", then "<name> <12 random hex digits>". Names are cut to 255 bytes.
//   hdiutil detach DEVICE|MOUNTPOINT [-force]
//       unmounts diskN (also diskNs1, /dev/diskN[s1]) or the squashfs mount at MOUNTPOINT, an
//       absolute path directly inside a folder of mount points (with or without a record),
//       and removes its mount point folder and record; prints "diskN" ejected. With -force
//       the mounted file system is never looked at: its squashfuse is killed (SIGKILL), then
//       it is lazily unmounted, so detach ends within seconds even when the daemon hangs.
//   hdiutil reclaim FOLDER
//       for each recorded image inside FOLDER whose owner (the process that ran attach) has
//       ended, or whose attach was interrupted, detaches it with -force; removes every record
//       whose mount is gone. Images whose owner still runs, and mounts without a record, are
//       left alone. Prints one line per thing reclaimed:
//         reclaimed diskN at MOUNTPOINT (its owner has ended)
//         reclaimed diskN at MOUNTPOINT (its attach was interrupted)
//         removed the record of diskN (nothing is mounted at MOUNTPOINT)
//         removed the unreadable record diskN
//
// Exit status 0 on success. Every failure prints one line on standard error and exits with
// 1, leaving no mount point, no record and no process behind (reclaim: one line per thing
// it could not clean).
//
// Time limits: listing the image's files with unsquashfs (which reads every directory and
// inode; at most 32 MiB of listing) 60 s; mounting (squashfuse, or mount with a loop device)
// 30 s; unmounting 10 s, or 5 s for a lazy unmount with -force; a squashfuse to end after its
// unmount 5 s, after SIGKILL 3 s; another tool's hold on the record lock 30 s. A program
// that runs longer is killed with its process group and the command fails, naming it.
//
// Mounting: squashfuse when FUSE can be used (for a user other than root: /dev/fuse opens
// for them and fusermount3 is setuid root), else the kernel's loop device when running as
// root. When neither can be had, the line says what is missing and how to allow it.
//
// Environment: SPARKLER_HDIUTIL_VOLUMES (the folder of mount points, instead of VOLUMES),
// SPARKLER_HDIUTIL_STATE (folder of device records), SPARKLER_HDIUTIL_MOUNTER ("fuse" or "kernel"
// to force one way of mounting), SPARKLER_HDIUTIL_TIME_LIMIT (whole seconds: shortens every time
// limit above that is longer), XDG_RUNTIME_DIR (the user's runtime folder, used when it is
// theirs and closed to others).

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Detacher.h"
#include "DiskRegistry.h"
#include "MountPoints.h"
#include "Programs.h"
#include "SquashfsSuperblock.h"
#include "UserFolders.h"
#include "sparkler/MountTable.h"

using sparkler::Arguments;
using sparkler::RunResult;
using namespace sparkler::hdiutil;
namespace MountTable = sparkler::MountTable;

namespace {

constexpr char kUsage[] =
    "usage: hdiutil attach IMAGE [-nobrowse] | hdiutil detach DEVICE|MOUNTPOINT [-force] | "
    "hdiutil reclaim FOLDER";
constexpr std::chrono::seconds kListLimit{60};
constexpr std::size_t kMaxListingBytes = 32u << 20;
constexpr std::chrono::seconds kMountLimit{30};
constexpr std::chrono::seconds kLockLimit{30};

int fail(std::string_view verb, const std::string& reason) {
  std::cerr << "hdiutil: " << verb << " failed - " << reason << std::endl;
  return 1;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::optional<std::string> realPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return std::nullopt;
  return std::string(buffer);
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The folder of mount points named by the environment; empty when none is named, nullopt
// with `error` set when it names a relative path.
std::optional<std::string> namedVolumes(std::string& error) {
  const std::string volumes = withoutTrailingSlashes(environment("SPARKLER_HDIUTIL_VOLUMES"));
  if (!volumes.empty() && volumes.front() != '/') {
    error = "SPARKLER_HDIUTIL_VOLUMES must be an absolute path";
    return std::nullopt;
  }
  return volumes;
}

// The folder to make mount points in, as given (never resolved: it is what attach prints),
// made when missing and checked; nullopt with `error` set when it is not fit.
std::optional<std::string> volumesFolder(std::string& error) {
  auto named = namedVolumes(error);
  if (!named) return std::nullopt;
  if (!named->empty()) {
    if (const auto problem =
            MountPoints::prepareFolder(*named, *named == UserFolders::kSharedVolumes)) {
      error = *problem;
      return std::nullopt;
    }
    return named;
  }
  const std::string shared = UserFolders::kSharedVolumes;
  if (::geteuid() == 0) {
    if (const auto problem = MountPoints::prepareFolder(shared, true)) {
      error = *problem;
      return std::nullopt;
    }
    return shared;
  }
  // Another user uses the shared folder only as it is: they could not make or mend it.
  struct stat info {};
  if (::lstat(shared.c_str(), &info) == 0 && !MountPoints::prepareFolder(shared, true) &&
      ::access(shared.c_str(), W_OK | X_OK) == 0) {
    return shared;
  }
  const std::string own = UserFolders::privateVolumes();
  if (auto problem = UserFolders::makePrivate(own)) {
    error = *problem;
    return std::nullopt;
  }
  return own;
}

// The folders detach takes mount points in: the named one, or the shared one and this user's.
std::optional<std::vector<std::string>> volumesFolders(std::string& error) {
  auto named = namedVolumes(error);
  if (!named) return std::nullopt;
  if (!named->empty()) return std::vector<std::string>{*named};
  std::vector<std::string> folders{UserFolders::kSharedVolumes};
  if (::geteuid() != 0) folders.push_back(UserFolders::privateVolumes());
  return folders;
}

// Why squashfuse cannot mount for this user, saying how to allow it; nullopt when it can.
std::optional<std::string> fuseProblem(const std::optional<std::string>& squashfuse) {
  if (!squashfuse) return "squashfuse is not installed (apt install squashfuse)";
  const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse < 0) {
    const std::string why = std::strerror(errno);
    if (errno == ENOENT) {
      return "/dev/fuse does not exist — squashfuse needs FUSE; install fuse3 and load the "
             "fuse kernel module (modprobe fuse)";
    }
    return "cannot open /dev/fuse: " + why +
           " — squashfuse needs FUSE; install fuse3 and make /dev/fuse usable by this user "
           "(mode 0666, the default on desktop Linux)";
  }
  ::close(fuse);
  if (::geteuid() == 0) return std::nullopt;
  // squashfuse mounts for a user through fusermount3, which must run as root to mount.
  const auto fusermount = Programs::find("fusermount3");
  if (!fusermount) return "fusermount3 is not installed (apt install fuse3)";
  struct stat info {};
  if (::stat(fusermount->c_str(), &info) != 0 || info.st_uid != 0 ||
      (info.st_mode & S_ISUID) == 0) {
    return *fusermount + " is not setuid root, so FUSE mounts need root (reinstall fuse3)";
  }
  return std::nullopt;
}

std::optional<DiskRegistry> openRegistry(std::string& error) {
  return DiskRegistry::open(Programs::limit(kLockLimit), error);
}

Attachment attachmentOf(const DiskRecord& record) {
  return Attachment{record.image, record.realMountPoint, record.daemon, true};
}

// Whether `fd` is a pipe that nobody reads any more: the caller that would read the answer,
// and detach what it names, has gone.
bool readerHasGone(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) return false;
  pollfd watch{fd, 0, 0};
  return ::poll(&watch, 1, 0) > 0 && (watch.revents & POLLERR) != 0;
}

// Undoes an attach that did not finish: whatever it mounted, its folder and its record.
// When the registry cannot be had, the record stays, and reclaim finds it later as the record
// of an interrupted attach.
void abandon(const DiskRecord& record) {
  std::string ignored;
  const auto registry = openRegistry(ignored);
  if (!registry) return;
  if (!Detacher::detach(attachmentOf(record), true)) registry->remove(record.number);
}

// Lists every directory and inode of the image without unpacking file data: the superblock
// can be sound while the tables behind it are not.
std::optional<std::string> problemListing(const std::string& image) {
  const auto unsquashfs = Programs::find("unsquashfs");
  if (!unsquashfs) return std::nullopt;
  const RunResult listing =
      Programs::run(*unsquashfs, Arguments{{"-l", "-n", image}}, kListLimit, kMaxListingBytes);
  if (listing.timedOut) {
    return "listing its files with unsquashfs " + Programs::whyFailed(listing, kListLimit);
  }
  if (listing.outputTooLong) {
    return "it lists more than " + std::to_string(kMaxListingBytes >> 20) + " MiB of file names";
  }
  if (!listing.succeeded()) return "corrupt image (its file table cannot be read)";
  return std::nullopt;
}

int attach(const std::vector<std::string>& args) {
  std::optional<std::string> image;
  for (const std::string& arg : args) {
    if (arg == "-nobrowse") continue;
    if (!arg.empty() && arg.front() == '-') return fail("attach", "unknown option " + arg);
    if (image) return fail("attach", "more than one image given; " + std::string(kUsage));
    image = arg;
  }
  if (!image || image->empty()) return fail("attach", std::string("no image given; ") + kUsage);

  struct stat info {};
  if (::stat(image->c_str(), &info) != 0) {
    return fail("attach", *image + ": " + std::strerror(errno));
  }
  // The name comes from the path as given; the record and squashfuse get the file itself, so
  // that reclaim finds it inside its folder whatever links led there.
  const std::string given = std::filesystem::absolute(*image).lexically_normal().string();
  const std::string path = realPath(*image).value_or(given);
  if (const auto problem = SquashfsSuperblock::problemWithImage(path)) {
    return fail("attach", *image + ": " + *problem);
  }
  if (const auto problem = problemListing(path)) return fail("attach", *image + ": " + *problem);

  const std::string mounter = environment("SPARKLER_HDIUTIL_MOUNTER");
  if (!mounter.empty() && mounter != "fuse" && mounter != "kernel") {
    return fail("attach", "SPARKLER_HDIUTIL_MOUNTER must be \"fuse\" or \"kernel\"");
  }
  const auto squashfuse = Programs::find("squashfuse");
  const auto noFuse = mounter == "kernel" ? std::nullopt : fuseProblem(squashfuse);
  const auto mountProgram = Programs::find("mount");
  const bool useFuse = mounter != "kernel" && !noFuse;
  const bool useKernel = mounter != "fuse" && ::geteuid() == 0 && mountProgram;
  if (!useFuse && !useKernel) {
    if (mounter == "fuse") return fail("attach", *noFuse);
    if (::geteuid() != 0) {
      if (mounter == "kernel")
        return fail("attach", "mounting with the kernel's loop device needs root");
      return fail("attach", *noFuse);
    }
    return fail("attach", "mount is not installed (apt install mount)" +
                              (noFuse ? ", and " + *noFuse : std::string()));
  }

  std::string error;
  const auto volumes = volumesFolder(error);
  if (!volumes) return fail("attach", error);
  const auto realVolumes = realPath(*volumes);
  if (!realVolumes) return fail("attach", "cannot resolve " + *volumes + ": " + strerror(errno));
  const std::string name = MountPoints::volumeName(given);

  // The record names the mount point before the folder is made and anything is mounted, so
  // that a tool killed at any point leaves nothing that no record names.
  DiskRecord record;
  record.image = path;
  record.method = useFuse ? "fuse" : "kernel";
  record.owner = ProcessIdentity::of(::getppid());
  record.attacher = ProcessIdentity::of(::getpid());
  {
    auto registry = openRegistry(error);
    if (!registry) return fail("attach", error);
    record.number = registry->freeNumber();
    for (int attempt = 0;; ++attempt) {
      const auto candidate = MountPoints::candidate(name, attempt, error);
      if (!candidate) {
        registry->remove(record.number);
        if (error.empty()) error = "no free mount point for \"" + name + "\" in " + *volumes;
        return fail("attach", error);
      }
      record.mountPoint = *volumes + "/" + *candidate;
      record.realMountPoint = *realVolumes + "/" + *candidate;
      if (!registry->write(record, error)) {
        registry->remove(record.number);
        return fail("attach", error);
      }
      // mkdir never follows nor reuses what is there: a name someone else made (a folder, a
      // symbolic link) is passed over.
      if (::mkdir(record.realMountPoint.c_str(), 0755) == 0) break;
      if (errno == EEXIST) continue;
      error = "cannot create a mount point in " + *volumes + ": " + std::strerror(errno);
      if (errno == EACCES || errno == EPERM) {
        error += " (make it writable with: sudo chmod 1777 " + *volumes + ")";
      }
      registry->remove(record.number);
      return fail("attach", error);
    }
  }
  // The lock is not held while mounting: other tools go on attaching and detaching, and
  // reclaim passes over this record while this tool runs.

  const std::string& mountPoint = record.realMountPoint;
  bool mounted = false;
  bool timedOut = false;
  std::string why;
  if (useFuse) {
    const RunResult run = Programs::run(
        *squashfuse, Arguments{{"-o", "ro,nosuid,nodev", path, mountPoint}}, kMountLimit);
    const auto type = MountTable::typeAt(mountPoint);
    mounted = run.succeeded() && type && type->rfind("fuse", 0) == 0;
    if (mounted) {
      const auto daemons = Programs::daemonsServing(path, mountPoint);
      if (daemons.size() == 1) record.daemon = daemons.front();
    } else {
      timedOut = run.timedOut;
      why = "squashfuse " + Programs::whyFailed(run, kMountLimit);
      // Whatever it left half done goes before the kernel may try the same folder.
      Detacher::release(Attachment{path, mountPoint, 0, true}, true);
    }
  }
  if (!mounted && useKernel && !timedOut) {
    const RunResult run = Programs::run(
        *mountProgram,
        Arguments{{"-t", "squashfs", "-o", "loop,ro,nosuid,nodev", path, mountPoint}}, kMountLimit);
    record.method = "kernel";
    mounted = run.succeeded() && MountTable::typeAt(mountPoint) == "squashfs";
    if (!mounted)
      why = (why.empty() ? "" : why + "; ") + "mount " + Programs::whyFailed(run, kMountLimit);
  }
  if (!mounted) {
    abandon(record);
    return fail("attach", *image + ": mount failed: " + why);
  }

  // An owner that ended while the image was being mounted will never use it nor detach it.
  // One that ended before this tool looked at it shows as another process (the one that took
  // this tool over), so the pipe it would have read the answer from tells as well.
  if (!record.owner.isRunning() || readerHasGone(STDOUT_FILENO)) {
    abandon(record);
    return fail("attach", "the process that asked to attach " + *image + " has ended");
  }
  record.attacher = {};
  {
    auto registry = openRegistry(error);
    if (!registry || !registry->write(record, error)) {
      record.attacher = ProcessIdentity::of(::getpid());
      abandon(record);
      return fail("attach", error);
    }
  }

  const std::string disk = "/dev/disk" + std::to_string(record.number);
  std::cout << disk << "\tGUID_partition_scheme\t\n"
            << disk << "s1\tApple_HFS\t" << record.mountPoint << "\n";
  std::cout.flush();
  return 0;
}

// diskN, diskNs1, /dev/diskN or /dev/diskNs1; nullopt for anything else.
std::optional<int> deviceNumber(std::string_view device) {
  if (device.starts_with("/dev/")) device.remove_prefix(5);
  if (!device.starts_with("disk")) return std::nullopt;
  device.remove_prefix(4);
  if (device.ends_with("s1")) device.remove_suffix(2);
  if (device.empty() || device.size() > 6 || device.front() == '0') return std::nullopt;
  int number = 0;
  for (const char c : device) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
  }
  return number;
}

int detach(const std::vector<std::string>& args) {
  std::optional<std::string> target;
  bool force = false;
  for (const std::string& arg : args) {
    if (arg == "-force") {
      force = true;
    } else if (!arg.empty() && arg.front() == '-') {
      return fail("detach", "unknown option " + arg);
    } else if (target) {
      return fail("detach", "more than one device given; " + std::string(kUsage));
    } else {
      target = arg;
    }
  }
  if (!target) return fail("detach", std::string("no device given; ") + kUsage);

  std::string error;
  std::optional<DiskRecord> record;
  std::string realMountPoint;
  auto registry = openRegistry(error);
  if (!registry) return fail("detach", error);
  if (target->front() != '/' || target->starts_with("/dev/")) {
    const auto number = deviceNumber(*target);
    if (number) record = registry->read(*number);
    if (!record) return fail("detach", "no such device: " + *target);
  } else {
    const auto folders = volumesFolders(error);
    if (!folders) return fail("detach", error);
    const std::filesystem::path given =
        withoutTrailingSlashes(std::filesystem::path(*target).lexically_normal().string());
    const std::string name = given.filename().string();
    std::optional<std::string> volumes;
    for (const std::string& folder : *folders) {
      if (given.parent_path().string() ==
          withoutTrailingSlashes(std::filesystem::path(folder).lexically_normal().string())) {
        volumes = folder;
      }
    }
    if (!volumes || name.empty() || name == "." || name == "..") {
      std::string in;
      for (const std::string& folder : *folders) in += (in.empty() ? "" : " or ") + folder;
      return fail("detach", *target + " is not a mount point in " + in);
    }
    const auto realVolumes = realPath(*volumes);
    if (!realVolumes) return fail("detach", "cannot resolve " + *volumes + ": " + strerror(errno));
    realMountPoint = *realVolumes + "/" + name;
    for (const int number : registry->numbers()) {
      auto candidate = registry->read(number);
      if (candidate && (candidate->realMountPoint == realMountPoint ||
                        candidate->mountPoint == given.string())) {
        record = std::move(candidate);
        break;
      }
    }
  }

  if (record) {
    const std::string disk = "disk" + std::to_string(record->number);
    if (record->unfinished() && record->attacher.isRunning()) {
      return fail("detach", disk + " is still being attached");
    }
    if (const auto problem = Detacher::detach(attachmentOf(*record), force)) {
      return fail("detach",
                  "cannot unmount " + disk + " at " + record->mountPoint + ": " + *problem);
    }
    registry->remove(record->number);
    std::cout << "\"" << disk << "\" ejected.\n";
    std::cout.flush();
    return 0;
  }

  // A mount point without a record, as macOS's hdiutil detaches any mount point: only a
  // squashfs image mounted there is taken.
  const auto type = MountTable::typeAt(realMountPoint);
  if (!type) return fail("detach", "nothing is attached at " + *target);
  if (!Detacher::isDiskImageType(*type)) {
    return fail("detach", *target + " is not a disk image (" + *type + ")");
  }
  if (const auto problem = Detacher::detach(Attachment{{}, realMountPoint, 0, false}, force)) {
    return fail("detach", "cannot unmount " + *target + ": " + *problem);
  }
  std::cout << "\"" << *target << "\" ejected.\n";
  std::cout.flush();
  return 0;
}

// Whether `path` lies inside `folder` (both absolute and normal).
bool liesIn(const std::string& path, const std::string& folder) {
  if (folder.empty()) return false;
  if (folder == "/") return path.size() > 1;
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

int reclaim(const std::vector<std::string>& args) {
  if (args.size() != 1 || args.front().empty() || args.front().front() == '-') {
    return fail("reclaim", std::string("one folder must be given; ") + kUsage);
  }
  const std::string folder =
      withoutTrailingSlashes(std::filesystem::absolute(args.front()).lexically_normal().string());
  const std::string realFolder = realPath(folder).value_or(folder);

  std::string error;
  auto registry = openRegistry(error);
  if (!registry) return fail("reclaim", error);
  std::vector<std::string> failures;
  for (const int number : registry->numbers()) {
    const std::string disk = "disk" + std::to_string(number);
    const auto record = registry->read(number);
    if (!record) {
      if (registry->remove(number)) std::cout << "removed the unreadable record " << disk << "\n";
      continue;
    }
    // An attach in progress completes its record itself.
    if (record->unfinished() && record->attacher.isRunning()) continue;
    const bool inFolder = liesIn(record->image, folder) || liesIn(record->image, realFolder);
    const bool interrupted = record->unfinished();
    if (inFolder && (interrupted || !record->owner.isRunning())) {
      if (const auto problem = Detacher::detach(attachmentOf(*record), true)) {
        failures.push_back(disk + " at " + record->mountPoint + ": " + *problem);
        continue;
      }
      registry->remove(number);
      std::cout << "reclaimed " << disk << " at " << record->mountPoint << " ("
                << (interrupted ? "its attach was interrupted" : "its owner has ended") << ")\n";
    } else if (!MountTable::isMountPoint(record->realMountPoint)) {
      if (const auto problem = Detacher::removeFolder(attachmentOf(*record))) {
        failures.push_back(disk + ": " + *problem);
        continue;
      }
      registry->remove(number);
      std::cout << "removed the record of " << disk << " (nothing is mounted at "
                << record->mountPoint << ")\n";
    }
  }
  std::cout.flush();
  for (const std::string& failure : failures) {
    std::cerr << "hdiutil: reclaim failed - " << failure << "\n";
  }
  std::cerr.flush();
  return failures.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 1 ? 2 : argc), argv + argc);
  const std::string verb = argc > 1 ? argv[1] : "";
  // Failures are results: an exception escaping (out of memory, say) still ends with one
  // line and status 1 rather than an abort.
  try {
    if (verb == "attach") return attach(args);
    if (verb == "detach") return detach(args);
    if (verb == "reclaim") return reclaim(args);
  } catch (const std::exception& e) {
    std::cerr << "hdiutil: " << verb << ": " << e.what() << std::endl;
    return 1;
  }
  std::cerr << "hdiutil: " << (verb.empty() ? "no command given" : "unknown command " + verb)
            << "; " << kUsage << std::endl;
  return 1;
}

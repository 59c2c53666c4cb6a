// hdiutil for Linux: the two command lines of the macOS disk image tool that the updater uses,
// for squashfs images.
//
//   hdiutil attach IMAGE [-nobrowse]   mounts IMAGE read-only at /Volumes/<name>, prints
//                                      /dev/diskN<TAB>GUID_partition_scheme<TAB>
//                                      /dev/diskNs1<TAB>Apple_HFS<TAB>/Volumes/<name>
//   hdiutil detach DEVICE [-force]     unmounts diskN (also diskNs1, /dev/diskN[s1])
//
// Environment: TOVE_HDIUTIL_VOLUMES (folder of mount points, default /Volumes),
// TOVE_HDIUTIL_STATE (folder of device records), TOVE_HDIUTIL_MOUNTER ("fuse" or "kernel"
// to force one way of mounting; by default squashfuse, then the kernel's loop device when
// running as root).
//
// Every failure prints one line on standard error and exits with 1, leaving no mount point,
// no record and no process behind.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DiskRegistry.h"
#include "MountTable.h"
#include "Programs.h"
#include "SquashfsSuperblock.h"
#include "tove/QuickTask.h"

using tove::Arguments;
using tove::QuickTask;
using namespace tove::hdiutil;

namespace {

constexpr char kUsage[] =
    "usage: hdiutil attach IMAGE [-nobrowse] | hdiutil detach DEVICE [-force]";
constexpr char kDefaultVolumes[] = "/Volumes";
constexpr std::chrono::seconds kDaemonExitLimit{10};

int fail(std::string_view verb, const std::string& reason) {
  std::cerr << "hdiutil: " << verb << " failed - " << reason << std::endl;
  return 1;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string realPath(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

// Decodes one UTF-8 sequence at `i`; returns its length and code point, or 0 when invalid.
std::size_t decode(const std::string& text, std::size_t i, char32_t& point) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = lead < 0x80         ? 1
                       : (lead >> 5) == 6  ? 2
                       : (lead >> 4) == 14 ? 3
                       : (lead >> 3) == 30 ? 4
                                           : 0;
  if (length == 0 || i + length > text.size()) return 0;
  point = length == 1   ? lead
          : length == 2 ? (lead & 0x1F)
          : length == 3 ? (lead & 0x0F)
                        : (lead & 0x07);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    point = (point << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    return 0;
  }
  return length;
}

bool isSpace(char32_t point) {
  return point == ' ' || point == 0xA0 || point == 0x1680 || (point >= 0x2000 && point <= 0x200A) ||
         point == 0x202F || point == 0x205F || point == 0x3000;
}

// The volume name is the image's file name without its extension. The output line that names
// it is read up to its end after the tool's output has been trimmed, so the name must stay on
// one line, be valid UTF-8 and not end in white space.
std::string volumeName(const std::string& image) {
  std::string name = std::filesystem::path(image).filename().string();
  if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  std::string clean;
  std::size_t keep = 0;  // length of `clean` without trailing white space
  for (std::size_t i = 0; i < name.size();) {
    char32_t point = 0;
    const std::size_t length = decode(name, i, point);
    const bool lineBreakOrControl = point < 0x20 || point == 0x7F ||
                                    (point >= 0x80 && point < 0xA0) || point == 0x2028 ||
                                    point == 0x2029;
    if (length == 0 || lineBreakOrControl) {
      clean.push_back('_');
      i += length == 0 ? 1 : length;
    } else {
      clean.append(name, i, length);
      i += length;
    }
    if (length == 0 || !isSpace(point)) keep = clean.size();
  }
  clean.resize(keep);
  if (clean.empty() || clean == "." || clean == "..") clean = "Untitled";
  return clean;
}

// Makes the folder of mount points when it is missing. /Volumes is shared by all users, as
// /tmp is; a folder given by the environment is the caller's own.
std::optional<std::string> prepareVolumes(const std::string& volumes) {
  struct stat info {};
  if (::stat(volumes.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) return volumes + " is not a folder";
    return std::nullopt;
  }
  std::error_code error;
  const bool shared = volumes == kDefaultVolumes;
  if (shared) {
    if (::mkdir(volumes.c_str(), 01777) == 0) {
      ::chmod(volumes.c_str(), 01777);
    } else if (errno != EEXIST) {
      error.assign(errno, std::generic_category());
    }
  } else {
    std::filesystem::create_directories(volumes, error);
  }
  if (!error) return std::nullopt;
  std::string reason = "cannot create " + volumes + ": " + error.message();
  if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
      error == std::errc::read_only_file_system) {
    reason += " (create it once with: sudo mkdir -m 1777 " + volumes + ")";
  }
  return reason;
}

std::optional<std::string> makeMountPoint(const std::string& volumes, const std::string& name,
                                          std::string& error) {
  for (int attempt = 0; attempt < 10000; ++attempt) {
    const std::string path =
        volumes + "/" + (attempt == 0 ? name : name + " " + std::to_string(attempt));
    if (::mkdir(path.c_str(), 0755) == 0) return path;
    if (errno == EEXIST) continue;
    error = "cannot create a mount point in " + volumes + ": " + std::strerror(errno);
    if (errno == EACCES || errno == EPERM) {
      error += " (make it writable with: sudo chmod 1777 " + volumes + ")";
    }
    return std::nullopt;
  }
  error = "no free mount point for \"" + name + "\" in " + volumes;
  return std::nullopt;
}

bool unmount(const DiskRecord& record, bool force) {
  const std::string mountPoint = realPath(record.mountPoint);
  if (record.method == "fuse") {
    if (const auto fusermount = Programs::find("fusermount3")) {
      Arguments arguments{{"-u"}};
      if (force) arguments.list.push_back("-z");
      arguments.list.push_back(mountPoint);
      QuickTask::executeTask(*fusermount, arguments);
      if (!MountTable::isMountPoint(mountPoint)) return true;
    }
  }
  if (const auto umount = Programs::find("umount")) {
    Arguments arguments;
    if (force) arguments.list.push_back("-l");
    arguments.list.push_back(mountPoint);
    QuickTask::executeTask(*umount, arguments);
  }
  return !MountTable::isMountPoint(mountPoint);
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
  const std::string path = std::filesystem::absolute(*image).lexically_normal().string();
  if (const auto problem = SquashfsSuperblock::problemWithImage(path)) {
    return fail("attach", *image + ": " + *problem);
  }
  // The superblock can be sound while the tables behind it are not; listing the image reads
  // every directory and inode without unpacking any file data.
  if (const auto unsquashfs = Programs::find("unsquashfs")) {
    if (!QuickTask::executeTask(*unsquashfs, Arguments{{"-l", path}})) {
      return fail("attach", *image + ": corrupt image (its file table cannot be read)");
    }
  }

  const std::string mounter = environment("TOVE_HDIUTIL_MOUNTER");
  if (!mounter.empty() && mounter != "fuse" && mounter != "kernel") {
    return fail("attach", "TOVE_HDIUTIL_MOUNTER must be \"fuse\" or \"kernel\"");
  }
  const auto squashfuse = Programs::find("squashfuse");
  const bool fuseReady = squashfuse && ::access("/dev/fuse", R_OK | W_OK) == 0;
  const auto mountProgram = Programs::find("mount");
  const bool kernelReady = ::geteuid() == 0 && mountProgram;
  const bool useFuse = fuseReady && mounter != "kernel";
  const bool useKernel = kernelReady && mounter != "fuse";
  if (!useFuse && !useKernel) {
    if (mounter == "kernel")
      return fail("attach", "mounting with the kernel's loop device needs root");
    if (mounter == "fuse")
      return fail("attach", "FUSE is not available (squashfuse and /dev/fuse are needed)");
    return fail("attach",
                "cannot mount: FUSE is not available (squashfuse and /dev/fuse are needed) and "
                "mounting with the kernel's loop device needs root");
  }

  std::string volumes = environment("TOVE_HDIUTIL_VOLUMES");
  if (volumes.empty()) volumes = kDefaultVolumes;
  while (volumes.size() > 1 && volumes.back() == '/') volumes.pop_back();
  if (volumes.front() != '/')
    return fail("attach", "TOVE_HDIUTIL_VOLUMES must be an absolute path");
  if (const auto problem = prepareVolumes(volumes)) return fail("attach", *problem);

  std::string error;
  auto registry = DiskRegistry::open(error);
  if (!registry) return fail("attach", error);
  const auto mountPoint = makeMountPoint(volumes, volumeName(path), error);
  if (!mountPoint) return fail("attach", error);
  const std::string realMountPoint = realPath(*mountPoint);

  DiskRecord record;
  record.number = registry->freeNumber();
  record.image = path;
  record.mountPoint = *mountPoint;
  bool mounted = false;
  if (useFuse) {
    const Arguments arguments{{"-o", "ro,nosuid,nodev", path, realMountPoint}};
    if (QuickTask::executeTask(*squashfuse, arguments)) {
      record.method = "fuse";
      mounted = MountTable::isMountPoint(realMountPoint);
      std::vector<std::string> argv{*squashfuse};
      argv.insert(argv.end(), arguments.list.begin(), arguments.list.end());
      record.daemon = Programs::processWithCommandLine(argv).value_or(0);
    }
  }
  if (!mounted && useKernel) {
    const Arguments arguments{
        {"-t", "squashfs", "-o", "loop,ro,nosuid,nodev", path, realMountPoint}};
    if (QuickTask::executeTask(*mountProgram, arguments)) {
      record.method = "kernel";
      record.daemon = 0;
      mounted = MountTable::isMountPoint(realMountPoint);
    }
  }
  if (mounted && !registry->write(record, error)) {
    unmount(record, false);
    mounted = false;
  } else if (!mounted) {
    error = *image + ": mount failed";
    if (MountTable::isMountPoint(realMountPoint)) unmount(record, false);
  }
  if (!mounted) {
    if (record.daemon > 0) Programs::waitForExit(record.daemon, realMountPoint, kDaemonExitLimit);
    ::rmdir(mountPoint->c_str());
    return fail("attach", error);
  }

  const std::string disk = "/dev/disk" + std::to_string(record.number);
  std::cout << disk << "\tGUID_partition_scheme\t\n"
            << disk << "s1\tApple_HFS\t" << *mountPoint << "\n";
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
  std::optional<std::string> device;
  bool force = false;
  for (const std::string& arg : args) {
    if (arg == "-force") {
      force = true;
    } else if (!arg.empty() && arg.front() == '-') {
      return fail("detach", "unknown option " + arg);
    } else if (device) {
      return fail("detach", "more than one device given; " + std::string(kUsage));
    } else {
      device = arg;
    }
  }
  if (!device) return fail("detach", std::string("no device given; ") + kUsage);
  const auto number = deviceNumber(*device);
  if (!number) return fail("detach", "no such device: " + *device);

  std::string error;
  auto registry = DiskRegistry::open(error);
  if (!registry) return fail("detach", error);
  const auto record = registry->read(*number);
  if (!record) return fail("detach", "no such device: " + *device);

  const std::string mountPoint = realPath(record->mountPoint);
  if (MountTable::isMountPoint(mountPoint) && !unmount(*record, force)) {
    return fail("detach", "cannot unmount disk" + std::to_string(*number) + " at " +
                              record->mountPoint + ": it is in use (try -force)");
  }
  // squashfuse ends after its unmount; waiting for it means nothing of ours outlives detach.
  if (record->daemon > 0 && !force) {
    Programs::waitForExit(record->daemon, mountPoint, kDaemonExitLimit);
  }
  ::rmdir(record->mountPoint.c_str());
  registry->remove(*number);
  std::cout << "\"disk" << *number << "\" ejected.\n";
  std::cout.flush();
  return 0;
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
  } catch (const std::exception& e) {
    std::cerr << "hdiutil: " << verb << ": " << e.what() << std::endl;
    return 1;
  }
  std::cerr << "hdiutil: " << (verb.empty() ? "no command given" : "unknown command " + verb)
            << "; " << kUsage << std::endl;
  return 1;
}

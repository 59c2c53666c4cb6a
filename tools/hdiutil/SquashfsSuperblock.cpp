#include "SquashfsSuperblock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "sparkler/FileDescriptor.h"

namespace sparkler::hdiutil {
namespace {

constexpr std::size_t kSuperblockSize = 96;
constexpr std::uint64_t kAbsent = ~std::uint64_t{0};

std::uint64_t little(const std::array<unsigned char, kSuperblockSize>& bytes, std::size_t offset,
                     std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i > 0; --i) value = (value << 8) | bytes[offset + i - 1];
  return value;
}

}  // namespace

std::optional<std::string> SquashfsSuperblock::problemWithImage(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::string("cannot read the image: ") + std::strerror(errno);
  struct stat info {};
  std::array<unsigned char, kSuperblockSize> bytes{};
  std::size_t have = 0;
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::string("not a disk image file");
  }
  bool readFailed = false;
  while (!readFailed && have < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + have, bytes.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) readFailed = true;
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  if (readFailed) return std::string("cannot read the image: ") + std::strerror(errno);

  if (have < 4 || std::memcmp(bytes.data(), "hsqs", 4) != 0) {
    return std::string("not a disk image (no squashfs signature)");
  }
  if (have < kSuperblockSize) return std::string("corrupt image: truncated superblock");

  const auto inodes = little(bytes, 4, 4);
  const auto blockSize = little(bytes, 12, 4);
  const auto compression = little(bytes, 20, 2);
  const auto blockLog = little(bytes, 22, 2);
  const auto major = little(bytes, 28, 2);
  const auto minor = little(bytes, 30, 2);
  const auto bytesUsed = little(bytes, 40, 8);
  const auto idTable = little(bytes, 48, 8);
  const auto inodeTable = little(bytes, 64, 8);
  const auto directoryTable = little(bytes, 72, 8);
  const auto fileSize = static_cast<std::uint64_t>(info.st_size);

  if (major != 4 || minor != 0) {
    return "unsupported squashfs version " + std::to_string(major) + "." + std::to_string(minor);
  }
  if (blockSize < 4096 || blockSize > 1048576 || blockLog > 20 ||
      (std::uint64_t{1} << blockLog) != blockSize) {
    return std::string("corrupt image: bad block size");
  }
  if (compression < 1 || compression > 6) {
    return std::string("corrupt image: unknown compressor");
  }
  if (inodes == 0) return std::string("corrupt image: no inodes");
  if (bytesUsed < kSuperblockSize || bytesUsed > fileSize) {
    return std::string("corrupt image: truncated (") + std::to_string(fileSize) + " of " +
           std::to_string(bytesUsed) + " bytes)";
  }
  if (inodeTable < kSuperblockSize || inodeTable >= directoryTable || directoryTable >= bytesUsed ||
      idTable == kAbsent || idTable >= bytesUsed) {
    return std::string("corrupt image: tables out of range");
  }
  return std::nullopt;
}

}  // namespace sparkler::hdiutil

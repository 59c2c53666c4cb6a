#include "sparkler/Folders.h"

#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "sparkler/Hex.h"

namespace sparkler::Folders {
namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string withoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::filesystem::path home() {
  if (auto value = environment("HOME"); !value.empty()) return withoutTrailingSeparators(value);
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
      result != nullptr && result->pw_dir != nullptr && result->pw_dir[0] != '\0') {
    return withoutTrailingSeparators(result->pw_dir);
  }
  return "/";
}

std::filesystem::path temporary() {
  if (auto value = environment("TMPDIR"); !value.empty()) return withoutTrailingSeparators(value);
  return "/tmp";
}

std::filesystem::path userData() {
  if (auto value = environment("XDG_DATA_HOME"); !value.empty() && value.front() == '/') {
    return withoutTrailingSeparators(value);
  }
  return home() / ".local" / "share";
}

std::string newUUIDString() {
  std::array<std::uint8_t, 16> bytes{};
  if (getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    std::random_device device;
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(device());
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  const std::string digits = Hex::encode(bytes.data(), bytes.size(), Hex::Case::upper);
  return digits.substr(0, 8) + '-' + digits.substr(8, 4) + '-' + digits.substr(12, 4) + '-' +
         digits.substr(16, 4) + '-' + digits.substr(20);
}

}  // namespace sparkler::Folders

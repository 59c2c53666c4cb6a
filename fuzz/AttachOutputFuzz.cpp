// The disk image tool's attach output on arbitrary bytes: whatever mountInfoFromOutput returns
// must name a partition device and a mount point below a folder named Volumes, read from a
// single line.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sparkler/DMGExtractor.h"

namespace {

void require(bool condition, const char* broken, std::string_view output) {
  if (condition) return;
  std::fprintf(stderr, "attach output fuzzer: %s (input of %zu bytes)\n", broken, output.size());
  std::abort();
}

// "disk", digits, "s", digits and nothing else.
bool isPartitionDevice(std::string_view disk) {
  auto digits = [&disk] {
    std::size_t count = 0;
    while (count < disk.size() && disk[count] >= '0' && disk[count] <= '9') ++count;
    disk.remove_prefix(count);
    return count > 0;
  };
  if (!disk.starts_with("disk")) return false;
  disk.remove_prefix(4);
  if (!digits() || !disk.starts_with("s")) return false;
  disk.remove_prefix(1);
  return digits() && disk.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view output(reinterpret_cast<const char*>(data), size);
  const auto info = sparkler::DMGExtractor::mountInfoFromOutput(output);
  if (!info) return 0;

  require(isPartitionDevice(info->disk()), "the disk is not of the form diskNsM", output);
  require(output.find("/dev/" + info->disk()) != std::string_view::npos,
          "the disk is not the one the output names", output);
  const std::string& root = info->root();
  require(root.starts_with("/") && root.find("/Volumes/") != std::string::npos,
          "the root is not below a folder named Volumes", output);
  require(root.find_first_of("\n\r") == std::string::npos, "the root spans lines", output);
  return 0;
}

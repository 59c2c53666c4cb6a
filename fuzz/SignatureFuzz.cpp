// A signature file as a server may send it, read and verified against a fixed manifest and key
// as the updater does before it reads the manifest itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sparkler/ManifestSignature.h"

namespace {

// The manifest the seeds sign.
constexpr std::string_view kManifest =
    R"([{"version":"1.0.1","name":"Tove-1.0.1.dmg","hash":"0123456789abcdef0123456789abcdef","size":10}])";

void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sparkler::ManifestSignature;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string reason;
  const auto file = parse(text, &reason);
  if (file) {
    require(!file->signatures.empty() && file->signatures.size() <= kMaximumSignatures);
    require(parseTime(formatTime(file->expires)) == file->expires);
  } else {
    require(!reason.empty());
  }
  // The key the seeds list: a file that names it reaches the signature check itself.
  static const auto trusted = publicKeyFromBase64("wRAfBlRm6iEJGzS2Qd0T/O0ycngSzKqdceL99uhxXbw=");
  require(trusted.has_value());
  const PublicKey keys[] = {*trusted};
  const auto verdict = verify(kManifest, text, keys, 1'800'000'000);
  require(verdict.state != State::valid || file);
  require(verdict.state == State::valid || !verdict.reason.empty());
  require(verdict.reason.size() <= 1024);
  return 0;
}

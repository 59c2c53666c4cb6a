// `sparkler sign --key KEYFILE [--key KEYFILE...] --manifest PATH [--expires-in DAYS |
// --expires-at TIME]`: writes PATH.sig, the signature of PATH's bytes as they are, by each
// key. Run again before the expiry (from cron, say) to keep a manifest that does not change
// readable; clients refuse it once the signature has expired.

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "Commands.h"
#include "Signing.h"
#include "sparkler/Files.h"
#include "sparkler/Manifest.h"

namespace {

constexpr char kUsage[] =
    "usage: sparkler sign --key KEYFILE [--key KEYFILE...] --manifest PATH "
    "[--expires-in DAYS | --expires-at YYYY-MM-DDTHH:MM:SSZ]";

int fail(const std::string& reason) {
  std::fprintf(stderr, "sparkler sign: %s\n", reason.c_str());
  return 1;
}

}  // namespace

int signCommand(int argc, char** argv) {
  SigningOptions options;
  std::optional<std::string> manifest;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc || argv[i + 1][0] == '\0') return fail(option + " needs a value; " + kUsage);
    const std::string value = argv[++i];
    if (option == "--manifest") {
      manifest = value;
    } else if (!options.take(option, value)) {
      return fail("unknown argument \"" + option + "\"; " + kUsage);
    }
  }
  if (!manifest) return fail(kUsage);

  std::string reason;
  const auto signer = ManifestSigner::prepare(options, std::time(nullptr), &reason);
  if (!signer) return fail(reason);
  std::error_code error;
  const auto bytes = sparkler::Files::readFile(*manifest, sparkler::Manifest::kMaximumSize, &error);
  if (!bytes && error == std::errc::file_too_large) {
    return fail(*manifest + " is larger than the " +
                std::to_string(sparkler::Manifest::kMaximumSize) + " bytes the updater reads");
  }
  if (!bytes) return fail("cannot read " + *manifest + ": " + error.message());
  const auto file = signer->sign(*bytes, &reason);
  if (!file) return fail(*manifest + ": " + reason);
  const std::string path = *manifest + std::string(sparkler::ManifestSignature::kFileSuffix);
  if (const auto written = sparkler::Files::writeAtomically(path, *file, 0644)) {
    return fail("cannot write " + path + ": " + written.message());
  }
  std::printf("signed %s: %s expires %s\n", manifest->c_str(), path.c_str(),
              signer->describe().c_str());
  return 0;
}

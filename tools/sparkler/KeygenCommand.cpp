// `sparkler keygen --out KEYFILE`: makes a maker's signing key. The private key goes to a new
// file only its owner can read; the public key, the text a bundle's "SparklerPublicKeys"
// lists, goes to standard output as one line.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Commands.h"
#include "sparkler/ManifestSignature.h"

int keygenCommand(int argc, char** argv) {
  if (argc != 3 || std::string(argv[1]) != "--out" || argv[2][0] == '\0') {
    std::fprintf(stderr, "usage: sparkler keygen --out KEYFILE\n");
    return 1;
  }
  namespace sig = sparkler::ManifestSignature;
  std::string reason;
  const auto key = sig::SigningKey::generate(&reason);
  if (!key || !key->save(argv[2], &reason)) {
    std::fprintf(stderr, "sparkler keygen: %s\n", reason.c_str());
    return 1;
  }
  // The public key is half of what keygen makes: when it cannot be printed, the private key
  // is taken back, so that the same command can simply be run again.
  const std::string line = sig::toBase64(key->publicKey()) + "\n";
  if (std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
    const int code = errno;
    std::remove(argv[2]);
    std::fprintf(stderr, "sparkler keygen: the public key could not be printed: %s\n",
                 std::strerror(code));
    return 1;
  }
  return 0;
}

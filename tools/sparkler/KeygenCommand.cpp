// `sparkler keygen --out KEYFILE`: makes a maker's signing key. The private key goes to a new
// file only its owner can read; the public key, the text a bundle's "SparklerPublicKeys"
// lists, goes to standard output as one line.

#include <cstdio>
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
  std::printf("%s\n", sig::toBase64(key->publicKey()).c_str());
  return 0;
}

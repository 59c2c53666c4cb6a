#include <cstdio>
#include <string_view>

#include "Commands.h"

namespace {

struct Command {
  std::string_view name;
  std::string_view help;
  int (*run)(int argc, char** argv);
};

// One line per subcommand, in the order `--help` lists them.
constexpr Command kCommands[] = {
    {"version", "version TEXT   print the version that TEXT reads as", versionCommand},
    {"check",
     "check --bundle PATH.app --manifest URL [--ca-file PEM]\n"
     "                 run one update check as that bundle would; print the result as JSON",
     checkCommand},
    {"publish",
     "publish --app PATH/NAME.app [--version V] --out DIR\n"
     "          [--key KEYFILE... [--expires-in DAYS | --expires-at YYYY-MM-DDTHH:MM:SSZ]]\n"
     "                 build the update's disk image DIR/NAME-V.dmg and list it in DIR/_.json\n"
     "                 (NAME: the bundle's CFBundleName; V: its version); with --key, sign\n"
     "                 the new manifest into DIR/_.json.sig as sign does",
     publishCommand},
    {"keygen",
     "keygen --out KEYFILE\n"
     "                 make a signing key: the private key in KEYFILE (a new file, mode 0600),\n"
     "                 the public key for SparklerPublicKeys on standard output",
     keygenCommand},
    {"sign",
     "sign --key KEYFILE [--key KEYFILE...] --manifest PATH\n"
     "       [--expires-in DAYS | --expires-at YYYY-MM-DDTHH:MM:SSZ]\n"
     "                 sign PATH's bytes with each key into PATH.sig (expiring in 30 days\n"
     "                 unless given)",
     signCommand},
};

int usage(std::FILE* stream) {
  std::fprintf(stream, "usage: sparkler COMMAND [ARGUMENTS...]\n\ncommands:\n");
  for (const auto& command : kCommands) {
    std::fprintf(stream, "  %.*s\n", static_cast<int>(command.help.size()), command.help.data());
  }
  return stream == stdout ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(stderr);
  const std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") return usage(stdout);
  for (const auto& command : kCommands) {
    if (command.name == name) return command.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "sparkler: unknown command \"%s\"\n", argv[1]);
  usage(stderr);
  return 1;
}

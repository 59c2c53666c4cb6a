// Installs an update as an ordinary user would: run by UnprivilegedInstallTest under another
// user's identity, with its own HOME and runtime folder.
//
//   extract_child TOOL IMAGE ITEM DESTINATION
//
// Attaches IMAGE and prints "mounted <root>", detaches it, then replaces DESTINATION's item by
// ITEM from the image as the updater does and prints "installed <path>" or "failed <reason>".

#include <cstdio>
#include <string>

#include "sparkler/DMGExtractor.h"

int main(int argc, char** argv) {
  using namespace sparkler;
  if (argc != 5) {
    std::fputs("usage: extract_child TOOL IMAGE ITEM DESTINATION\n", stderr);
    return 2;
  }
  DMGExtractor::setToolPath(std::string(argv[1]));
  if (const auto info = DMGExtractor::mount(argv[2])) {
    std::printf("mounted %s\n", info->root().c_str());
    DMGExtractor::eject(info->disk());
  }
  ExtractOptions options;
  options.tool = argv[1];
  options.requireFolder = true;
  ExtractFailure failure;
  const auto installed = DMGExtractor::extract(argv[3], argv[2], argv[4], options, &failure);
  if (installed) {
    std::printf("installed %s\n", installed->c_str());
  } else {
    std::printf("failed %s\n", failure.reason.c_str());
  }
  return installed ? 0 : 1;
}

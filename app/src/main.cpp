#include "tove/ApplicationMain.h"

int main(int argc, char** argv) {
  return tove::ApplicationMain(argc, argv);
}

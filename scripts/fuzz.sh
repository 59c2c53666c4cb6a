#!/usr/bin/env bash
# Builds the fuzz preset and runs fuzz targets for longer than the test suite does, growing a
# corpus that outlives the run.
# Usage: scripts/fuzz.sh [TARGET] [SECONDS]
#   TARGET   one of the names in fuzz/CMakeLists.txt (version, attach_output, ...); every
#            target, one after the other, when left out or "all"
#   SECONDS  run time of each target (default 600)
# The corpus grows in build-fuzz/corpus/<target>/ (the seeds in fuzz/corpus/<target>/ are read
# beside it; copy an input worth keeping there by hand). Inputs that crash, leak, hang or blow
# up memory go to build-fuzz/crashes/<target>/; the run then fails and prints how to replay them.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:-all}
seconds=${2:-600}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [TARGET] [SECONDS]" >&2
  exit 2
fi

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

filter=()
if [ "$target" != all ]; then
  if ! ctest --preset fuzz -N -R "^fuzz\.${target}\$" | grep -q "fuzz\.${target}\$"; then
    echo "no fuzz target named '$target'; there are:" >&2
    ctest --preset fuzz -N | sed -n 's/^ *Test *#[0-9]*: fuzz\./  /p' >&2
    exit 2
  fi
  filter=(-R "^fuzz\.${target}\$")
fi

echo "corpus: $PWD/build-fuzz/corpus/<target>; crashes: $PWD/build-fuzz/crashes/<target>"
TOVE_FUZZ_SECONDS=$seconds TOVE_FUZZ_CORPUS=$PWD/build-fuzz/corpus \
  ctest --preset fuzz --verbose --timeout $((seconds + 300)) "${filter[@]}"

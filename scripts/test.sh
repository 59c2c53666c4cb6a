#!/usr/bin/env bash
# Installs what is missing, configures, builds what is stale and runs the whole test suite.
# Usage: scripts/test.sh [default|asan|tsan|fuzz] [extra ctest arguments...]
# With no arguments: the default suite, then every fuzz target for a short, bounded run
# (the fuzz preset; scripts/fuzz.sh runs them for longer).
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("${1:-default}")
if [ $# -eq 0 ]; then presets+=(fuzz); fi
shift || true

scripts/install-deps.sh

werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi

for preset in "${presets[@]}"; do
  cmake --preset "$preset" -DTOVE_WERROR="$werror" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" --timeout 600 "$@"
done

#!/usr/bin/env bash
# Installs what is missing, configures, builds what is stale and runs the whole test suite.
# Usage: scripts/test.sh [default|asan|tsan] [extra ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${1:-default}
shift || true

scripts/install-deps.sh

werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi

cmake --preset "$preset" -DTOVE_WERROR="$werror" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" --timeout 600 "$@"

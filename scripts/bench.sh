#!/usr/bin/env bash
# Builds the default preset and runs every benchmark program under build/bench.
# Usage: scripts/bench.sh [extra Google Benchmark arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default

status=0
while IFS= read -r program; do
  echo "== ${program#build/}"
  "$program" "$@" || status=1
done < <(find build/bench -type f -executable -not -path '*/CMakeFiles/*' | sort)
exit $status

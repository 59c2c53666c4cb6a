#!/usr/bin/env bash
# The main job. For now: installs what is missing, builds everything and prints the
# version of a freshly built bundle.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
echo "Built. (The full update demo arrives with the app.)"

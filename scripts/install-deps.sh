#!/usr/bin/env bash
# Installs every Debian package that building, testing and demonstrating Tove needs.
# Skips packages already present; runs `apt-get update` once, only when something is missing.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang-format
  # fuzzing: clang 14 (clang and clang++) and its libFuzzer and sanitizer runtimes
  clang clang-14 libclang-rt-14-dev
  # libraries
  qt6-base-dev qt6-tools-dev libqt6uitools6 libqt6opengl6-dev libgl-dev
  libcurl4-openssl-dev libssl-dev libicu-dev nlohmann-json3-dev libplist-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  # disk images
  squashfs-tools squashfuse fuse3
  # tests and the demo
  ca-certificates fonts-dejavu-core openssl curl nginx-light xvfb xdotool x11-apps imagemagick procps psmisc
  # the tests that validate the desktop entry and the AppStream data; the icon maker
  desktop-file-utils appstream librsvg2-bin
  # the test that checks published manifests against docs/manifest.schema.json
  python3-jsonschema
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"

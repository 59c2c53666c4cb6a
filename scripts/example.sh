#!/usr/bin/env bash
# The embedding example, end to end, as an app maker would use Sparkler: installs a Sparkler
# build into a temporary prefix, builds examples/hello against that prefix alone (Hello 1.0.0
# and 1.0.1 bundles), publishes 1.0.1 with the installed `sparkler publish`, serves it over
# HTTPS on 127.0.0.1 with nginx, runs Hello 1.0.0 headless until it has updated itself, and
# checks that the bundle now says 1.0.1 and that its new executable runs. Everything lives in
# one temporary folder, removed at the end with the server stopped and nothing mounted.
#
# Usage: scripts/example.sh [--build DIR]
#   --build DIR  the configured and built Sparkler tree to install (default: build/); it needs
#                the Qt adapter (SPARKLER_BUILD_QT)
# Needs root: installing an update mounts its disk image under /Volumes. Run as another user
# it skips (exit status 77) and says so.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$(cd "$2" && pwd); shift ;;
    *) echo "usage: $0 [--build DIR]" >&2; exit 2 ;;
  esac
  shift
done
old_version=1.0.0
new_version=1.0.1
started=$SECONDS
failure="EXAMPLE FAILED"
# shellcheck source=lib/common.sh
. "$root/scripts/lib/common.sh"
# shellcheck source=lib/https.sh
. "$root/scripts/lib/https.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: the example's update mounts a disk image under /Volumes, which needs root" >&2
  exit 77
fi

pids=()
tmp=
note_shared_folders
cleanup() {
  local status=$?
  set +e
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  if grep -q " /Volumes/Hello" /proc/mounts; then
    echo "warning: a disk image is still mounted at /Volumes/Hello*" >&2
    status=1
  fi
  remove_shared_folders
  [ -z "$tmp" ] || rm -rf "$tmp"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

tmp=$(mktemp -d "${TMPDIR:-/tmp}/sparkler-example.XXXXXX")
prefix=$tmp/prefix
hello=$tmp/hello-build

step "Installing $build into $prefix"
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" ||
  { cat "$tmp/install.log" >&2; die "cmake --install failed"; }
[ -f "$prefix/lib/cmake/Sparkler/SparklerConfig.cmake" ] || die "no CMake package in $prefix"
info "$(find "$prefix" -type f | wc -l) files, $(du -sh "$prefix" | cut -f1)"

step "Building Hello $old_version and $new_version against $prefix only"
cmake -S "$root/examples/hello" -B "$hello" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_PREFIX_PATH="$prefix" -DHELLO_BUNDLE_VERSION=$old_version \
  -DHELLO_EXTRA_BUNDLE_VERSIONS=$new_version >"$tmp/hello-build.log" 2>&1 &&
  cmake --build "$hello" >>"$tmp/hello-build.log" 2>&1 ||
  { tail -n 40 "$tmp/hello-build.log" >&2; die "the example does not build"; }
info "built $hello/Hello.app and $hello/bundles/$new_version/Hello.app"

step "Publishing Hello $new_version with the installed sparkler tool"
www=$tmp/www
feed=$www/hello
mkdir -p "$feed"
"$prefix/bin/sparkler" publish --app "$hello/bundles/$new_version/Hello.app" \
  --version $new_version --out "$feed"
info "manifest: $(tr -d '\n' <"$feed/_.json")"

step "Serving $www over HTTPS on 127.0.0.1"
port=$(pick_port)
make_certificates "$tmp/ca" "$tmp/nginx"
start_nginx "$tmp/nginx" "$port" "$www"
manifest=https://127.0.0.1:$port/hello/_.json
curl -fsS --cacert "$tmp/ca/ca.pem" "$manifest" >/dev/null || die "the manifest is not served"
info "manifest URL: $manifest"

step "Running Hello $old_version headless until it has installed $new_version"
mkdir -p "$tmp/Applications" "$tmp/home"
mkdir -m 700 "$tmp/runtime"
cp -a "$hello/Hello.app" "$tmp/Applications/"
app=$tmp/Applications/Hello.app
export HOME=$tmp/home XDG_RUNTIME_DIR=$tmp/runtime QT_QPA_PLATFORM=offscreen
unset XDG_DATA_HOME
status=0
timeout 300 "$app/Contents/MacOS/Hello" --update-and-quit --manifest "$manifest" \
  --ca-file "$tmp/ca/ca.pem" >"$tmp/hello.log" 2>&1 || status=$?
sed 's/^/    | /' "$tmp/hello.log"
[ "$status" = 0 ] || die "Hello $old_version exited with status $status"

step "Checking the updated bundle"
grep -q "<string>$new_version</string>" "$app/Contents/Info.plist" ||
  die "the bundle's Info.plist does not say $new_version"
ran=$("$app/Contents/MacOS/Hello" --version) || die "the new executable does not run"
[ "$ran" = "Hello $new_version" ] || die "the new executable says \"$ran\""
info "the bundle holds Hello $new_version, and it runs: \"$ran\""

step "Done in $((SECONDS - started)) s: Hello $old_version updated itself to $new_version"

#!/usr/bin/env bash
# The update demo. Builds Tove 1.0.0 and 1.0.1, both trusting the demo's signing key,
# publishes 1.0.1 with a signed manifest into a web root served over HTTPS on loopback by nginx, starts Tove 1.0.0 from a demo folder under Xvfb and does what a
# person would: waits for the background check, presses Ctrl+U, presses Install Update, then
# Relaunch, and shows that the new window belongs to 1.0.1. Screenshots are saved before and
# after. Nothing is left running or mounted afterwards.
#
# Usage: scripts/demo.sh [--no-install] [--out DIR]
#   --no-install  do not check the Debian packages (the test suite runs the demo this way)
#   --out DIR     where the run's files go (default: demo-out/ in the repository)
# The demo build lives in build-demo/ (TOVE_DEMO_BUILD overrides it), with its signing key,
# made once, in demo-key/ there.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
install=1
out=$root/demo-out
while [ $# -gt 0 ]; do
  case $1 in
    --no-install) install=0 ;;
    --out) out=$2; shift ;;
    *) echo "usage: $0 [--no-install] [--out DIR]" >&2; exit 2 ;;
  esac
  shift
done
build=${TOVE_DEMO_BUILD:-$root/build-demo}
old_version=1.0.0
new_version=1.0.1
started=$SECONDS
failure="DEMO FAILED"
# shellcheck source=lib/common.sh
. "$root/scripts/lib/common.sh"
# shellcheck source=lib/https.sh
. "$root/scripts/lib/https.sh"

# ---------------------------------------------------------------------------------------
pids=()
run=
note_shared_folders
cleanup() {
  local status=$?
  set +e
  if [ -n "$run" ]; then
    # Every app process started from the demo folder, the first and the relaunched one.
    pkill -TERM -f "$run/Applications/Tove.app/Contents/MacOS/Tove" 2>/dev/null
    wait_for 5 sh -c "! pgrep -f '$run/Applications/Tove.app/Contents/MacOS/Tove' >/dev/null"
    pkill -KILL -f "$run/Applications/Tove.app/Contents/MacOS/Tove" 2>/dev/null
  fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  if [ -n "$run" ] && grep -q " /Volumes/Tove-$new_version" /proc/mounts; then
    echo "warning: a disk image is still mounted at /Volumes/Tove-$new_version" >&2
  fi
  remove_shared_folders
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cd "$root"
if [ "$install" = 1 ]; then
  step "Checking the Debian packages the demo needs"
  scripts/install-deps.sh
fi

mkdir -p "$build"
port=$(pick_port "$build/demo-port")
echo "$port" >"$build/demo-port"
host=127.0.0.1:$port
ca_dir=$build/demo-ca

configure=(cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  -DTOVE_BUILD_TESTS=OFF -DTOVE_BUILD_BENCH=OFF
  -DTOVE_UPDATE_HOST="$host" -DTOVE_EXTRA_CA_FILE="$ca_dir/ca.pem"
  -DTOVE_BUNDLE_VERSION="$old_version" -DTOVE_EXTRA_BUNDLE_VERSIONS="$new_version")
build_failed() { tail -n 40 "$build/demo-build.log" >&2; die "build failed (see $build/demo-build.log)"; }

# The maker's key: made once per demo build, kept like its port, so that bundles built by an
# earlier run still trust the manifests of a later one.
key_dir=$build/demo-key
if [ ! -s "$key_dir/public.txt" ] || [ ! -s "$key_dir/private.pem" ]; then
  step "Making the maker's signing key in $key_dir"
  "${configure[@]}" >/dev/null
  cmake --build "$build" --target sparkler >"$build/demo-build.log" 2>&1 || build_failed
  rm -rf "$key_dir"
  mkdir -m 700 "$key_dir"
  "$build/tools/sparkler/sparkler" keygen --out "$key_dir/private.pem" >"$key_dir/public.txt" ||
    die "no signing key could be made"
fi
public_key=$(cat "$key_dir/public.txt")
info "public key: $public_key"

step "Building Tove $old_version and $new_version (manifest host $host) in $build"
"${configure[@]}" -DTOVE_PUBLIC_KEYS="$public_key" >/dev/null
cmake --build "$build" -- -j"$(nproc)" >"$build/demo-build.log" 2>&1 || build_failed
info "built $build/Tove.app and $build/bundles/$new_version/Tove.app, both trusting that key"

rm -rf "$out"
mkdir -p "$out"
run=$(cd "$out" && pwd)
www=$run/www
feed=$www/assets/Tove/software/mac
mkdir -p "$feed" "$run/home" "$run/nginx" "$run/Applications" "$ca_dir"

step "Publishing Tove $new_version into $feed"
"$build/tools/sparkler/sparkler" publish --app "$build/bundles/$new_version/Tove.app" \
  --version $new_version --out "$feed" --key "$key_dir/private.pem"
info "manifest: $(tr -d '\n' <"$feed/_.json")"
step "The manifest is signed: $feed/_.json.sig, by the key both bundles trust"
info "signature file: $(tr -d '\n' <"$feed/_.json.sig")"

step "Making a certificate authority and a server certificate for this run"
make_certificates "$ca_dir" "$run/nginx"

step "Serving $www over HTTPS at https://$host with nginx"
start_nginx "$run/nginx" "$port" "$www"
for served in _.json _.json.sig; do
  curl -fsS --cacert "$ca_dir/ca.pem" "https://$host/assets/Tove/software/mac/$served" >/dev/null ||
    die "$served is not served"
done
info "manifest URL: https://$host/assets/Tove/software/mac/_.json"

step "Installing Tove $old_version into $run/Applications"
cp -a "$build/Tove.app" "$run/Applications/"
app=$run/Applications/Tove.app

step "Starting an X server (Xvfb)"
exec {dfd}>"$run/display"
Xvfb -displayfd "$dfd" -screen 0 640x400x24 -nolisten tcp >"$run/xvfb.log" 2>&1 &
pids+=($!)
exec {dfd}>&-
wait_for 10 test -s "$run/display" || die "Xvfb did not start (see $run/xvfb.log)"
export DISPLAY=:$(head -n 1 "$run/display")
info "DISPLAY=$DISPLAY"

step "Starting Tove $old_version"
export HOME=$run/home
unset XDG_DATA_HOME
export QT_QPA_PLATFORM=xcb
"$app/Contents/MacOS/Tove" >>"$run/tove.log" 2>&1 &
first=$!
info "pid $first, log $run/tove.log"

image=$(sed -n 's/.*"name": *"\([^"]*\)".*/\1/p' "$feed/_.json" | tail -n 1)
cache=$HOME/.local/share/org.tove.Tove/updates/software
step "Waiting for the background check to download and verify $image"
wait_for 60 test -f "$cache/$image" || die "no verified image in $cache"
info "verified image in the cache: $cache/$image"

window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tove$' | head -n 1) ||
  die "no Tove window"
import -window "$window" "$run/before.png"
info "screenshot before the update: $run/before.png"

step "Pressing Ctrl+U (Check for Updates)"
xdotool windowfocus --sync "$window" key ctrl+u
wait_for 10 grep -q "UPDATE AVAILABLE" "$run/tove.log" || die "the check did not report the update"
sed -n '/UPDATE AVAILABLE/,/^}/p' "$run/tove.log" | sed 's/^/    | /'

step "Pressing Install Update (Alt+I)"
xdotool windowfocus --sync "$window" key alt+i
wait_for 60 grep -q "<string>$new_version</string>" "$app/Contents/Info.plist" ||
  die "the bundle was not updated"
info "the bundle's Contents now hold version $new_version"

step "Pressing Relaunch (Alt+R) once it is enabled"
tries=0
while kill -0 "$first" 2>/dev/null; do
  tries=$((tries + 1))
  [ "$tries" -le 20 ] || die "Tove $old_version did not quit"
  xdotool windowfocus --sync "$window" key alt+r 2>/dev/null || true
  wait_for 1 sh -c "! kill -0 $first 2>/dev/null" || true
done
wait "$first" 2>/dev/null || true
info "Tove $old_version (pid $first) quit"

relaunched() {
  second=$(pgrep -f "^$app/Contents/MacOS/Tove" | grep -vx "$first" | head -n 1)
  [ -n "$second" ]
}
wait_for 30 relaunched || die "Tove was not started again"
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tove$' | head -n 1) ||
  die "no window after the relaunch"
info "relaunched as pid $second"

step "Checking the new window"
sleep 1 # let the first frame be painted before the screenshot
import -window "$window" "$run/after.png"
running=$(sed -n '/CFBundleShortVersionString/{n;s/.*<string>\(.*\)<\/string>.*/\1/p;}' \
  "$app/Contents/Info.plist")
[ "$running" = "$new_version" ] || die "the relaunched bundle reads $running"
[ "$(readlink "/proc/$second/exe")" = "$app/Contents/MacOS/Tove" ] ||
  die "the relaunched process is not the bundle's executable"
info "the running Tove is version $running"
info "screenshot after the update: $run/after.png"

step "Done in $((SECONDS - started)) s: Tove $old_version updated itself to $new_version"

#!/bin/sh
# Launched by Tove, with no arguments, as it quits after the user asked for a relaunch.
# Waits for that process to end, then starts the bundle's executable again in a session of
# its own, with the environment it was given (so DISPLAY and QT_QPA_PLATFORM carry over).
# Any failure goes to the system log, since nobody may be watching a terminal.

parent=$PPID
tag=Tove.bounce

fail() {
  logger -t "$tag" -- "$1" 2>/dev/null
  echo "$tag: $1" >&2
  exit 1
}

# <bundle>/Contents/Resources/Scripts/bounce.sh
scripts=$(cd "$(dirname "$0")" 2>/dev/null && pwd -P) || fail "cannot find the folder of $0"
contents=$(dirname "$(dirname "$scripts")")

executable=
if [ -r "$contents/Info.plist" ]; then
  executable=$(sed -n '/<key>CFBundleExecutable<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p;q;}' \
    "$contents/Info.plist")
fi
[ -n "$executable" ] || executable=Tove
program="$contents/MacOS/$executable"

# The parent counts as gone once it has exited (even if not yet reaped) or once $PPID no longer
# names it: when the app was quicker than this script, $PPID is already whoever adopted us.
parent_running() {
  kill -0 "$parent" 2>/dev/null || return 1
  [ -r "/proc/$parent/stat" ] || return 0
  state=$(sed -n 's/^.*) \(.\).*$/\1/p' "/proc/$parent/stat" 2>/dev/null)
  [ "$state" = Z ] && return 1
  name=$(cat "/proc/$parent/comm" 2>/dev/null)
  expected=$(printf '%.15s' "$executable")
  [ "$name" = "$expected" ]
}

# Up to 30 seconds; an app that takes longer to quit is started again regardless, since a
# relaunch was asked for.
tries=0
while parent_running; do
  tries=$((tries + 1))
  if [ "$tries" -gt 300 ]; then
    logger -t "$tag" -- "process $parent did not quit within 30 s; starting $program anyway" \
      2>/dev/null
    break
  fi
  sleep 0.1
done

[ -x "$program" ] || fail "cannot start $program: no such executable"
setsid -f "$program" </dev/null || fail "cannot start $program"
exit 0

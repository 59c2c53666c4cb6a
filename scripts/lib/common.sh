# Shared by the end-to-end scripts (sourced): progress lines and waiting for a condition.
# The sourcing script sets `failure` to the word its fatal errors start with ("DEMO FAILED").

started=${started:-$SECONDS}
failure=${failure:-FAILED}

step() { printf '\n==> [%3ds] %s\n' $((SECONDS - started)) "$*"; }
info() { printf '    %s\n' "$*"; }
die() { printf '\n%s: %s\n' "$failure" "$*" >&2; exit 1; }

# Waits up to $1 seconds for the command that follows to succeed, polling every 0.2 s.
wait_for() {
  local limit=$1; shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

# The disk image tool makes the shared /Volumes and, as root, its record folder when they are
# missing. note_shared_folders, before anything is mounted, remembers which exist;
# remove_shared_folders, in the clean-up, removes those made since (the records only when
# none is left).
note_shared_folders() {
  volumes_made=0
  [ -e /Volumes ] || volumes_made=1
  records_made=0
  [ -e /run/tove-hdiutil ] || records_made=1
}
remove_shared_folders() {
  if [ "${volumes_made:-0}" = 1 ]; then rmdir /Volumes 2>/dev/null; fi
  if [ "${records_made:-0}" = 1 ]; then
    rm -f /run/tove-hdiutil/.lock && rmdir /run/tove-hdiutil 2>/dev/null
  fi
  return 0
}

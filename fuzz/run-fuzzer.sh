#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time; exits non-zero when it finds an input that
# crashes, leaks, hangs or exhausts memory, after copying that input to the crash folder and
# printing it.
#
# Usage: run-fuzzer.sh NAME FUZZER SEEDS DICTIONARY SECONDS CRASHES [libFuzzer flags...]
#   DICTIONARY may be empty. The environment overrides two arguments and adds one:
#   TOVE_FUZZ_SECONDS  run time in seconds instead of SECONDS;
#   TOVE_FUZZ_CRASHES  folder instead of CRASHES; inputs go to <folder>/NAME/;
#   TOVE_FUZZ_CORPUS   folder whose NAME/ subfolder is kept and grown, the seeds read beside it;
#                      unset, the run grows a temporary copy of SEEDS and removes it.
set -euo pipefail

if [ $# -lt 6 ]; then
  echo "usage: $0 NAME FUZZER SEEDS DICTIONARY SECONDS CRASHES [libFuzzer flags...]" >&2
  exit 2
fi
name=$1 seconds=${TOVE_FUZZ_SECONDS:-$5}
# The fuzzer runs inside its own temporary folder, so every path is made absolute first.
fuzzer=$(realpath -e "$2") seeds=$(realpath -e "$3")
dictionary=${4:+$(realpath -e "$4")}
crashes=$(realpath -m "${TOVE_FUZZ_CRASHES:-$6}/$name")
shift 6

work=$(mktemp -d "${TMPDIR:-/tmp}/tove-fuzz-$name.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/artifacts"

# libFuzzer writes new inputs into the first folder only; later ones are read.
folders=()
if [ -n "${TOVE_FUZZ_CORPUS:-}" ]; then
  mkdir -p "$TOVE_FUZZ_CORPUS/$name"
  folders=("$(realpath -e "$TOVE_FUZZ_CORPUS/$name")" "$seeds")
else
  cp -R "$seeds" "$work/corpus"
  folders=("$work/corpus")
fi

# Per input: 10 s (the slowest seed takes milliseconds, even under the sanitizers) and
# 2 GiB, so that a hang or a blow-up is reported as a finding rather than stalling the run.
flags=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
  -artifact_prefix="$work/artifacts/" -print_final_stats=1)
if [ -n "$dictionary" ]; then flags+=(-dict="$dictionary"); fi

status=0
(cd "$work" && UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
  "$fuzzer" "${flags[@]}" "$@" "${folders[@]}") || status=$?

found=("$work"/artifacts/*)
if [ -e "${found[0]}" ]; then
  mkdir -p "$crashes"
  for input in "${found[@]}"; do
    cp "$input" "$crashes/"
    echo "fuzz.$name: kept $crashes/$(basename "$input"); replay with: $fuzzer $crashes/$(basename "$input")"
    echo "its first 4 KiB, base64:"
    head -c 4096 "$input" | base64
  done
  [ "$status" -ne 0 ] || status=1
fi
if [ "$status" -ne 0 ]; then echo "fuzz.$name: FAILED (status $status)" >&2; fi
exit "$status"

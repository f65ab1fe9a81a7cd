#!/usr/bin/env bash
# Storm: kqstress, RUNS times for STORM_SECONDS each: three writer threads
# sharing one writer append numbered lines into a 256 KiB ring at full
# speed while `kqlogreader -d -n -e` follows and is lapped over and over,
# with forced laps and slow phases between (see tests/stress/stress_main.cpp).
# Prints a row per run and the totals: lines printed after a newer one
# (backwards) or again (twice), lines that are no written text (torn or
# read from inside a node), lines skipped while the tool was not lapped,
# failed reads ("nextLog return false!!"), the tool's lap reports. Exits 1
# when any run failed. Needs root (the logs live under /var/run) and a
# build with the tests: kqstress is built with them.
#   RUNS=10 STORM_SECONDS=20 KQ_STORM_BUILD=build/plain; further arguments
#   go to kqstress (e.g. --ring 32768 --threads 4)
set -euo pipefail
ROOT_DIR=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${KQ_STORM_BUILD:-$ROOT_DIR/build/plain}
STRESS=$BUILD_DIR/tests/stress/kqstress
RUNS=${RUNS:-10}
STORM_SECONDS=${STORM_SECONDS:-20}

if [ ! -x "$STRESS" ]; then
  echo "not built: $STRESS; build with the tests, e.g." >&2
  echo "  cmake -S . -B build/plain -DKQ_WERROR=ON && cmake --build build/plain -j2" >&2
  exit 1
fi

WORK=$(mktemp -d /tmp/kqstorm.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# count NAME FILE: the value of NAME=N on kqstress's counts line.
count() { sed -n "s/^kqstress: counts .*\b$1=\([0-9]*\).*/\1/p" "$2"; }

echo "storm: $RUNS runs of $STORM_SECONDS s, 3 writer threads, 256 KiB ring, $(nproc) cores"
row='%-5s %9s %11s %10s %9s %6s %10s %13s %8s %6s  %s\n'
# shellcheck disable=SC2059  # the format is ours
printf "$row" run seconds written printed backwards twice torn/off- skipped-not- failed lap result
# shellcheck disable=SC2059
printf "$row" "" "" lines lines "" "" chain lapped reads reports ""
failed=0
totals=(0 0 0 0 0 0)
for ((run = 1; run <= RUNS; run++)); do
  out=$WORK/run-$run.txt
  status=0
  "$STRESS" --seconds "$STORM_SECONDS" --threads 3 --ring $((256 << 10)) "$@" \
    >"$out" 2>&1 || status=$?
  if [ "$status" = 77 ]; then
    echo "kqstress cannot make a log under /var/run: run this as root" >&2
    exit 1
  fi
  if ! grep -q '^kqstress: counts ' "$out"; then
    echo "run $run: kqstress ended with status $status and no counts:" >&2
    cat "$out" >&2
    exit 1
  fi
  values=()
  for name in backwards twice torn skipped_not_lapped failed_reads laps; do
    values+=("$(count "$name" "$out")")
  done
  for i in "${!values[@]}"; do totals[i]=$((totals[i] + values[i])); done
  seconds=$(sed -n 's/^kqstress: \([0-9.]*\) s, .*/\1/p' "$out")
  written=$(sed -n 's/^  written: \([0-9]*\) lines.*/\1/p' "$out")
  printed=$(sed -n 's/^  printed: \([0-9]*\) lines.*/\1/p' "$out")
  if [ "$status" = 0 ]; then result=pass; else result=FAIL; failed=$((failed + 1)); fi
  # shellcheck disable=SC2059
  printf "$row" "$run" "$seconds" "$written" "$printed" "${values[@]}" "$result"
  # What failed, and the first few lines the checker kept as samples.
  if [ "$status" != 0 ]; then
    grep -E '^kqstress: (FAIL|line |torn |failed read|skipped )' "$out" | head -8 | sed 's/^/     /'
  fi
done
# shellcheck disable=SC2059
printf "$row" total "" "" "" "${totals[@]}" "$failed of $RUNS failed"
[ "$failed" = 0 ]

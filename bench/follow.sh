#!/usr/bin/env bash
# Follow mode: latency and idle cost.
#
# Latency: a writer appends 1,000 lines a second for SECONDS, each carrying
# its write time; `kqlogreader -d -n -e` writes into a pipe, and the reading
# side stamps each line's arrival (the return of the read that brought it).
# Prints p50, p99 and max of arrival minus write time.
#
# Idle: the tool following a log nobody writes, beside a bare loop of
# usleep(10000), both running at once; their CPU time (the scheduler's
# account, /proc/PID/schedstat) over the same IDLE_SECONDS window, start-up
# left out. Repeated IDLE_ROUNDS times; prints each round and the median
# ratio.
#   SECONDS_LATENCY=10 IDLE_SECONDS=10 IDLE_ROUNDS=3
set -euo pipefail
source "$(dirname "$0")/common.sh"
SECONDS_LATENCY=${SECONDS_LATENCY:-10}
IDLE_SECONDS=${IDLE_SECONDS:-10}
IDLE_ROUNDS=${IDLE_ROUNDS:-3}

# ---- latency
new_log path
name=${path#/var/run/}
"$KQBENCH" create "$path" $((1 << 20))
mkfifo "$WORK/lines"
"$KQBENCH" sink latency <"$WORK/lines" >"$WORK/latency.txt" &
sink=$!; started "$sink"
"$READER" -p "$name" -d -n -e >"$WORK/lines" &
reader=$!; started "$reader"
sleep 0.5
"$KQBENCH" write "$path" 1000 "$SECONDS_LATENCY" "$WORK/written.txt"
sleep 0.5
stop "$reader"
wait "$sink"
read -r written _ <"$WORK/written.txt"
echo "follow latency (1,000 lines/s for ${SECONDS_LATENCY} s, $written written): $(cat "$WORK/latency.txt") (target p99 <= 11 ms)"

# ---- idle
new_log idle_path
idle_name=${idle_path#/var/run/}
"$KQBENCH" create "$idle_path" $((1 << 20))
: >"$WORK/idle.txt"
for ((round = 1; round <= IDLE_ROUNDS; round++)); do
  "$READER" -p "$idle_name" -d -n -e >/dev/null &
  reader=$!; started "$reader"
  "$KQBENCH" sleeploop &
  loop=$!; started "$loop"
  sleep 1
  r0=$(cpu_ns "$reader"); l0=$(cpu_ns "$loop")
  sleep "$IDLE_SECONDS"
  r1=$(cpu_ns "$reader"); l1=$(cpu_ns "$loop")
  stop "$reader"; stop "$loop"
  awk -v r=$((r1 - r0)) -v l=$((l1 - l0)) -v s="$IDLE_SECONDS" -v n="$round" 'BEGIN {
    printf "idle round %d: kqlogreader %.1f ms, usleep loop %.1f ms CPU in %d s (%.2f %% / %.2f %% of a core), ratio %.3f\n",
      n, r / 1e6, l / 1e6, s, r / s / 1e7, l / s / 1e7, r / l }'
  awk -v r=$((r1 - r0)) -v l=$((l1 - l0)) 'BEGIN { print r / l }' >>"$WORK/idle.txt"
done
echo "follow idle: median ratio kqlogreader / usleep loop $(median <"$WORK/idle.txt") (target <= 1.10)"

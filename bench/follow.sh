#!/usr/bin/env bash
# Follow mode: latency and idle cost.
#
# Latency: a writer appends 1,000 lines a second for SECONDS_LATENCY
# seconds, each carrying its write time; `kqlogreader -d -n -e` writes into
# a pipe, and the reading side stamps each line's arrival (the return of the
# read that brought it). Prints p50, p99 and max of arrival minus write
# time.
#
# Idle: the tool following a log nobody writes, beside a bare loop of
# usleep(10000) and a second such loop as a control, all running at once;
# their CPU time (the scheduler's account, /proc/PID/schedstat) over the
# same IDLE_SECONDS window, start-up left out. Wake-up costs on a virtual
# machine vary by some 10 to 15 % from one window to the next even between
# two identical loops, so this is repeated IDLE_ROUNDS times; prints each
# round and the ratio of the sums.
#   SECONDS_LATENCY=10 IDLE_SECONDS=10 IDLE_ROUNDS=5
set -euo pipefail
source "$(dirname "$0")/common.sh"
SECONDS_LATENCY=${SECONDS_LATENCY:-10}
IDLE_SECONDS=${IDLE_SECONDS:-10}
IDLE_ROUNDS=${IDLE_ROUNDS:-5}

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
reaped "$sink"
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
  "$KQBENCH" sleeploop &
  control=$!; started "$control"
  sleep 1
  r0=$(cpu_ns "$reader"); l0=$(cpu_ns "$loop"); c0=$(cpu_ns "$control")
  sleep "$IDLE_SECONDS"
  r1=$(cpu_ns "$reader"); l1=$(cpu_ns "$loop"); c1=$(cpu_ns "$control")
  stop "$reader"; stop "$loop"; stop "$control"
  echo $((r1 - r0)) $((l1 - l0)) $((c1 - c0)) >>"$WORK/idle.txt"
done
# A second bare loop beside them shows how far two identical loops differ.
awk -v s="$IDLE_SECONDS" '{
    printf "idle round %d: kqlogreader %.1f ms, usleep loop %.1f ms CPU in %d s (%.2f %% / %.2f %% of a core): ratio %.3f (second loop: %.3f)\n",
      NR, $1 / 1e6, $2 / 1e6, s, $1 / s / 1e7, $2 / s / 1e7, $1 / $2, $3 / $2
    r += $1; l += $2; c += $3 }
  END { printf "follow idle: kqlogreader / usleep loop over %d rounds: %.3f (target <= 1.10; second loop / loop: %.3f)\n",
    NR, r / l, c / l }' "$WORK/idle.txt"

#!/usr/bin/env bash
# Several logs at once.
#
# Merged dump: three 16 MiB rings filled past wrapping by the writer
# library (as dump-throughput.sh fills its ring). Times
#   kqlogreader --log A --log B --log C -d > /dev/null
# against the three single dumps (-p A -d, -p B -d, -p C -d) run one after
# another, as whole processes, in pairs A B A B ...; prints the medians and
# the median of the pair ratios (target <= 1.3).
#
# Idle following: `kqlogreader --log ... -d -n` over ten logs nobody writes
# beside `-p X -d -n` over one, both running at once; their CPU time (the
# scheduler's account, /proc/PID/schedstat) over the same IDLE_SECONDS
# window, start-up left out, IDLE_ROUNDS times; prints each round and the
# ratio of the sums (target <= 2).
#   RUNS=11 IDLE_SECONDS=10 IDLE_ROUNDS=3
set -euo pipefail
source "$(dirname "$0")/common.sh"
RUNS=${RUNS:-11}
IDLE_SECONDS=${IDLE_SECONDS:-10}
IDLE_ROUNDS=${IDLE_ROUNDS:-3}
RING=$((16 << 20))

# ---- merged dump
names=()
for i in 1 2 3; do
  new_log path
  "$KQBENCH" fill "$path" "$RING" 6 >"$WORK/fill$i.txt"
  names+=("${path#/var/run/}")
done
echo "rings: 3 x $(cat "$WORK/fill1.txt")"
merged=(--log "${names[0]}" --log "${names[1]}" --log "${names[2]}" -d)
singles() {
  local n
  for n in "${names[@]}"; do "$READER" -p "$n" -d >/dev/null || :; done
}
: >"$WORK/a.txt"; : >"$WORK/b.txt"; : >"$WORK/r.txt"
for ((i = 0; i <= RUNS; i++)); do
  t0=$(now_us); "$READER" "${merged[@]}" >/dev/null || :; t1=$(now_us)
  singles; t2=$(now_us)
  ((i == 0)) && continue  # warm-up round
  a=$((t1 - t0)); b=$((t2 - t1))
  echo "$a" >>"$WORK/a.txt"; echo "$b" >>"$WORK/b.txt"
  awk -v a="$a" -v b="$b" 'BEGIN { print a / b }' >>"$WORK/r.txt"
done
lines=$({ "$READER" "${merged[@]}" || :; } | wc -l)
printf 'merged dump of 3 x 16 MiB: %d lines; merged %.1f ms, three single dumps %.1f ms: ratio %.2f (median of %d pairs; target <= 1.3)\n' \
  "$lines" "$(median <"$WORK/a.txt" | awk '{ print $1 / 1000 }')" \
  "$(median <"$WORK/b.txt" | awk '{ print $1 / 1000 }')" \
  "$(median <"$WORK/r.txt")" "$RUNS"

# ---- idle following
idle=()
for i in $(seq 10); do
  new_log path
  "$KQBENCH" create "$path" $((1 << 20))
  idle+=(--log "${path#/var/run/}")
done
one=${idle[1]}
: >"$WORK/idle.txt"
for ((round = 1; round <= IDLE_ROUNDS; round++)); do
  "$READER" "${idle[@]}" -d -n >/dev/null 2>&1 &
  many=$!; started "$many"
  "$READER" -p "$one" -d -n >/dev/null &
  single=$!; started "$single"
  sleep 1
  m0=$(cpu_ns "$many"); s0=$(cpu_ns "$single")
  sleep "$IDLE_SECONDS"
  m1=$(cpu_ns "$many"); s1=$(cpu_ns "$single")
  stop "$many"; stop "$single"
  echo $((m1 - m0)) $((s1 - s0)) >>"$WORK/idle.txt"
  awk -v m=$((m1 - m0)) -v s=$((s1 - s0)) -v t="$IDLE_SECONDS" \
    'BEGIN { printf "idle round: ten logs %.1f ms CPU/s, one log %.1f ms CPU/s\n", m / t / 1e6, s / t / 1e6 }'
done
awk '{ m += $1; s += $2 } END { printf "idle following: ten logs / one log = %.2f (target <= 2)\n", m / s }' "$WORK/idle.txt"

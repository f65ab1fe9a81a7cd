# Sourced by the benchmark scripts: where the built programs are, scratch
# logs under /var/run that are removed on exit, and small helpers.
BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT_DIR=$(dirname "$BENCH_DIR")
BUILD_DIR=${KQ_BENCH_BUILD:-$ROOT_DIR/build/bench}
READER=$BUILD_DIR/LogReader/kqlogreader
KQBENCH=$BUILD_DIR/bench/kqbench
RENDER_BENCH=$BUILD_DIR/bench/kqbench_render

if [ ! -x "$READER" ] || [ ! -x "$KQBENCH" ]; then
  echo "not built: run bash bench/run-all.sh, or" >&2
  echo "  cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKQ_BUILD_BENCH=ON" >&2
  echo "  cmake --build build/bench -j" >&2
  exit 1
fi

WORK=$(mktemp -d /tmp/kqbench.XXXXXX)
BENCH_LOGS=()
BENCH_PIDS=()

bench_cleanup() {
  local pid log
  for pid in "${BENCH_PIDS[@]+"${BENCH_PIDS[@]}"}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${BENCH_PIDS[@]+"${BENCH_PIDS[@]}"}"; do wait "$pid" 2>/dev/null || true; done
  for log in "${BENCH_LOGS[@]+"${BENCH_LOGS[@]}"}"; do "$KQBENCH" remove "$log"; done
  rm -rf "$WORK"
}
trap bench_cleanup EXIT

# new_log VAR: a new log path under /var/run in VAR, removed with its
# segment on exit.
new_log() {
  local new_path
  new_path=$("$KQBENCH" newpath /var/run) || exit 1
  BENCH_LOGS+=("$new_path")
  printf -v "$1" '%s' "$new_path"
}

# started PID: remember a background process to end on exit.
started() { BENCH_PIDS+=("$1"); }

# reaped PID: wait for it and forget it, so that the exit trap never
# signals a process id that has been reused meanwhile.
reaped() {
  wait "$1" 2>/dev/null || true
  local kept=() pid
  for pid in "${BENCH_PIDS[@]+"${BENCH_PIDS[@]}"}"; do
    [ "$pid" = "$1" ] || kept+=("$pid")
  done
  BENCH_PIDS=("${kept[@]+"${kept[@]}"}")
}

# stop PID: SIGTERM (the reader flushes and ends by it), then reap it.
stop() {
  kill -TERM "$1" 2>/dev/null || true
  reaped "$1"
}

# Microseconds on the wall clock.
now_us() { local t=$EPOCHREALTIME; echo "${t/./}"; }

# median: the median of the numbers on standard input.
median() {
  sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "nan"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# CPU time of a process so far, in nanoseconds (the scheduler's own
# account, not the tick-based one).
cpu_ns() { awk '{ print $1 }' "/proc/$1/schedstat"; }

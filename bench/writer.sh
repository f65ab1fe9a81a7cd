#!/usr/bin/env bash
# The writer beside spdlog (kqbench_writer, see bench/writer_bench.cpp):
# RUNS runs (default 5), each printing its table; then the median of each
# figure over the runs.
#   bash bench/writer.sh [REV]
# With REV (a commit), the same benchmark is also built against the writer
# library of REV (in build/bench-REV) and the two run alternately, so that
# before and after meet the same load. Needs the Release build of
# bench/run-all.sh (build/bench, or KQ_BENCH_BUILD).
set -euo pipefail
source "$(dirname "$0")/common.sh"
RUNS=${RUNS:-5}
rev=${1:-}
binaries=("$BUILD_DIR/bench/kqbench_writer")
labels=(now)
if [ -n "$rev" ]; then
  before=$ROOT_DIR/build/bench-$rev
  if [ ! -x "$before/bench/kqbench_writer" ]; then
    rm -rf "$before.src" && mkdir -p "$before.src"
    git -C "$ROOT_DIR" archive "$rev" | tar -x -C "$before.src"
    # This benchmark and its helpers, over that revision's library.
    cp "$BENCH_DIR"/writer_bench.cpp "$BENCH_DIR"/BenchSupport.* "$BENCH_DIR"/CMakeLists.txt \
      "$before.src/bench/"
    cp -n "$ROOT_DIR"/KQSHMLogLib/Source/KQShmLogLock.h "$before.src/KQSHMLogLib/Source/"
    cmake -S "$before.src" -B "$before" -DCMAKE_BUILD_TYPE=Release -DKQ_BUILD_BENCH=ON \
      -DKQ_BUILD_TESTS=OFF >/dev/null
    cmake --build "$before" --target kqbench_writer -j "$(nproc)" >/dev/null
  fi
  binaries+=("$before/bench/kqbench_writer")
  labels+=("$rev")
fi

# Rows of the tables: "label|figure" lines per binary, for the medians.
for ((run = 1; run <= RUNS; run++)); do
  for i in "${!binaries[@]}"; do
    echo "== run $run, ${labels[i]}"
    "${binaries[i]}" --benchmark_min_time=0.5 >"$WORK/out" 2>&1
    sed -n '/^| /p' "$WORK/out" | tee -a "$WORK/table-$i"
  done
done

# median LABEL FILE COLUMN: the median of the first number in that column
# of the rows whose first cell is LABEL.
median() {
  awk -F'|' -v label="$1" -v col="$3" '$2 ~ label && match($col, /[0-9.]+/) {
      print substr($col, RSTART, RLENGTH) }' "$2" |
    sort -g | awk '{ v[n++] = $1 } END { if (n) print v[int((n - 1) / 2)] }'
}
echo
echo "== medians of $RUNS runs"
for i in "${!binaries[@]}"; do
  t=$WORK/table-$i
  printf '%s: disabled %s ns (spdlog %s, %sx); fixed %s ns (spdlog %s, %sx); formatted %s ns (spdlog %s, %sx); 4 threads %s M/s (spdlog %s M/s); p50/p99/p99.9 %s/%s/%s ns\n' \
    "${labels[i]}" \
    "$(median disabled "$t" 3)" "$(median disabled "$t" 4)" "$(median disabled "$t" 5)" \
    "$(median 'fixed 31' "$t" 3)" "$(median 'fixed 31' "$t" 4)" "$(median 'fixed 31' "$t" 5)" \
    "$(median request "$t" 3)" "$(median request "$t" 4)" "$(median request "$t" 5)" \
    "$(median '4 threads' "$t" 3)" "$(median '4 threads' "$t" 4)" \
    "$(median '^ IKQLOGWriter' "$t" 3)" "$(median '^ IKQLOGWriter' "$t" 4)" "$(median '^ IKQLOGWriter' "$t" 5)"
done

#!/usr/bin/env bash
# Builds the benchmarks (Release, build/bench) and runs them all, printing
# the figures: per line, dump throughput and memory, the dump's ratios to
# the floor and to cat, the cost of the filters, several logs, follow
# latency and idle cost, keeping up. Takes about six minutes. Needs root:
# the logs live under /var/run. Every scratch log and segment is removed
# at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KQ_BENCH_BUILD:-build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKQ_BUILD_BENCH=ON \
  -DKQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), $(uname -sr)"
echo
echo "== per line (ns per line; target <= 60 ns for 64 bytes)"
bash bench/per-line.sh --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
echo
echo "== dump throughput and memory"
bash bench/dump-throughput.sh
echo
echo "== filters: --since/--until and --grep against the plain dump"
bash bench/filter-throughput.sh
echo
echo "== dump cost as ratios to the floor and to cat"
bash bench/dump-ratios.sh
echo
echo "== follow latency and idle cost"
bash bench/follow.sh
echo
echo "== several logs: merged dump and idle following"
bash bench/merge.sh
echo
echo "== keeping up"
bash bench/keep-up.sh
# Below what the follower sustains, so the writer never laps it.
RATE=${KEEPUP_RATE:-1000000} bash bench/keep-up.sh

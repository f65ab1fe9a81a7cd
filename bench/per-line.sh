#!/usr/bin/env bash
# Per line: the Google Benchmark of validating and rendering one node
# (kqbench_render), texts of 16, 64 and 200 bytes, TZ unset. Extra
# arguments go to the benchmark (e.g. --benchmark_repetitions=5).
set -euo pipefail
source "$(dirname "$0")/common.sh"
unset TZ
"$RENDER_BENCH" --benchmark_min_time=1 "$@"

#!/usr/bin/env bash
# Fuzzes the reader over arbitrary segments, then the append core over
# arbitrary append sequences and the merge of two arbitrary logs, for a
# while:
#   scripts/run-fuzz.sh [seconds [append-seconds]]   (defaults 60 and 20;
#   the merge gets append-seconds too)
# Builds the libFuzzer binaries with clang++ in build/fuzz, runs each on a
# copy of its corpus (fuzz/corpus, fuzz/append_corpus, fuzz/merge_corpus;
# the copy grows, the corpus stays as it is), and exits non-zero on any
# finding: a crash, a failed check, a sanitizer report, a leak, or one
# input running longer than 5 s. The input that caused it is left in
# build/fuzz/<name>/artifacts/; add it to the corpus as a regression case
# once it is fixed. KQ_FUZZ_BUILD names another build directory.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
append_seconds=${2:-20}
for s in "$seconds" "$append_seconds"; do
  # 0 would be no limit at all to libFuzzer.
  case "$s" in
    ''|*[!0-9]*|0|0*) echo "usage: $0 [seconds [append-seconds]] (each 1 or more)" >&2; exit 2 ;;
  esac
done

build=${KQ_FUZZ_BUILD:-build/fuzz}
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DKQ_BUILD_FUZZER=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target kqfuzz kqfuzz_append kqfuzz_merge -j "$(nproc)"

# fuzz NAME BINARY CORPUS SECONDS MAX_LEN
fuzz() {
  local name=$1 binary=$2 corpus=$3 secs=$4 max_len=$5
  local run="$build/$name" status=0
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts"
  cp "$corpus"/* "$run/corpus/"
  local seeds
  seeds=$(ls "$run/corpus" | wc -l)
  echo "== fuzz $name: ${secs} s over $seeds seed inputs"
  local start=$SECONDS
  "$binary" "$run/corpus" -max_total_time="$secs" -timeout=5 \
      -max_len="$max_len" -print_final_stats=1 \
      -artifact_prefix="$run/artifacts/" 2>"$run/fuzz.log" || status=$?
  local elapsed=$((SECONDS - start))
  local execs inputs findings
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/fuzz.log")
  inputs=$(ls "$run/corpus" | wc -l)
  findings=$(ls "$run/artifacts" | wc -l)
  echo "fuzz $name: ${execs:-0} executions in ${elapsed} s, corpus $seeds -> $inputs inputs, findings: $findings, libFuzzer status $status"
  if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    tail -n 60 "$run/fuzz.log"
    ls -l "$run/artifacts"
    return 1
  fi
}

status=0
fuzz run "$build/fuzz/kqfuzz" fuzz/corpus "$seconds" 8192 || status=1
fuzz append "$build/fuzz/kqfuzz_append" fuzz/append_corpus "$append_seconds" 16384 || status=1
fuzz merge "$build/fuzz/kqfuzz_merge" fuzz/merge_corpus "$append_seconds" 8192 || status=1
exit "$status"

#!/usr/bin/env bash
# Fuzzes the reader over arbitrary segments for a while, then the merge of
# two logs for a third of that:
#   scripts/run-fuzz.sh [seconds]      (default 60)
# Builds the libFuzzer binaries with clang++ in build/fuzz, runs each on a
# copy of its corpus (the copy grows; the corpus in fuzz/ stays as it is),
# and exits non-zero on any finding: a crash, a failed check, a sanitizer
# report, a leak, or one input running longer than 5 s. The input that
# caused it is left in build/fuzz/run-NAME/artifacts/; add it to the corpus
# as a regression case once it is fixed. KQ_FUZZ_BUILD names another build
# directory.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac

build=${KQ_FUZZ_BUILD:-build/fuzz}
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DKQ_BUILD_FUZZER=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target kqfuzz kqfuzz_merge -j "$(nproc)"

# fuzz TARGET CORPUS SECONDS: one libFuzzer run; its status.
fuzz() {
  local target=$1 corpus=$2 secs=$3
  local run="$build/run-$target"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts"
  cp "$corpus"/* "$run/corpus/"
  local seeds status=0 start=$SECONDS
  seeds=$(ls "$run/corpus" | wc -l)
  echo "== fuzz: $target, ${secs} s over $seeds seed inputs"
  "$build/fuzz/$target" "$run/corpus" -max_total_time="$secs" -timeout=5 \
      -max_len=8192 -print_final_stats=1 -artifact_prefix="$run/artifacts/" \
      2>"$run/fuzz.log" || status=$?
  local elapsed=$((SECONDS - start)) execs inputs findings
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/fuzz.log")
  inputs=$(ls "$run/corpus" | wc -l)
  findings=$(ls "$run/artifacts" | wc -l)
  echo "fuzz: $target: ${execs:-0} executions in ${elapsed} s, corpus $seeds -> $inputs inputs, findings: $findings, libFuzzer status $status"
  if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    tail -n 60 "$run/fuzz.log"
    ls -l "$run/artifacts"
    [ "$status" -ne 0 ] || status=1
  fi
  return "$status"
}

status=0
fuzz kqfuzz fuzz/corpus "$seconds" || status=1
fuzz kqfuzz_merge fuzz/merge_corpus $(( (seconds + 2) / 3 )) || status=1
exit "$status"

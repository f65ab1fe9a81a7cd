#!/usr/bin/env bash
# Fuzzes the reader over arbitrary segments for a while:
#   scripts/run-fuzz.sh [seconds]      (default 60)
# Builds the libFuzzer binary with clang++ in build/fuzz, runs it on a copy
# of fuzz/corpus (the copy grows; fuzz/corpus stays as it is), and exits
# non-zero on any finding: a crash, a failed check, a sanitizer report, a
# leak, or one input running longer than 5 s. The input that caused it is
# left in build/fuzz/run/artifacts/; add it to fuzz/corpus as a regression
# case once it is fixed. KQ_FUZZ_BUILD names another build directory.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac

build=${KQ_FUZZ_BUILD:-build/fuzz}
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DKQ_BUILD_FUZZER=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target kqfuzz -j "$(nproc)"

run="$build/run"
rm -rf "$run"
mkdir -p "$run/corpus" "$run/artifacts"
cp fuzz/corpus/* "$run/corpus/"
seeds=$(ls "$run/corpus" | wc -l)

echo "== fuzz: ${seconds} s over $seeds seed inputs"
status=0
start=$SECONDS
"$build/fuzz/kqfuzz" "$run/corpus" -max_total_time="$seconds" -timeout=5 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$run/artifacts/" \
    2>"$run/fuzz.log" || status=$?
elapsed=$((SECONDS - start))

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/fuzz.log")
inputs=$(ls "$run/corpus" | wc -l)
findings=$(ls "$run/artifacts" | wc -l)
echo "fuzz: ${execs:-0} executions in ${elapsed} s, corpus $seeds -> $inputs inputs, findings: $findings, libFuzzer status $status"
if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
  tail -n 60 "$run/fuzz.log"
  ls -l "$run/artifacts"
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"

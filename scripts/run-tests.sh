#!/usr/bin/env bash
# Builds and runs every test: a plain build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build, warnings as errors in both; then a
# minute of fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

status=0
for config in plain asan; do
  flags=(-DKQ_WERROR=ON)
  [ "$config" = asan ] && flags+=(-DKQ_SANITIZE=ON)
  # The benchmarks are built (not run) so that they keep compiling.
  [ "$config" = plain ] && flags+=(-DKQ_BUILD_BENCH=ON)
  cmake -S . -B "build/$config" "${flags[@]}" >/dev/null
  cmake --build "build/$config" -j "$(nproc)"
  echo "== tests: $config build"
  ctest --test-dir "build/$config" --output-on-failure -j 2 || status=1
done

# What cmake --install gives users: the examples built and run against a
# staged install of the plain build.
bash scripts/check-install.sh build/plain || status=1

# The segment fuzzer, briefly (clang build in build/fuzz); any finding fails.
bash scripts/run-fuzz.sh 60 || status=1
exit $status

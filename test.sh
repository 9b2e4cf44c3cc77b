#!/usr/bin/env bash
# Install what is missing, build, and run every test: first the optimised
# build, then the same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
# ctest names skipped tests without their output; print why each skipped.
run_ctest() {  # build directory, further ctest arguments
  local dir=$1 rc=0; shift
  ctest --test-dir "$dir" --output-on-failure --output-junit ctest-junit.xml "$@" || rc=$?
  /usr/bin/python3 tests/skip_reasons.py "$dir/ctest-junit.xml"
  return $rc
}
run_ctest build -j"$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBV_SANITIZE=ON \
      -DBV_BIN_IN_SOURCE=OFF -DBV_BUILD_BENCH=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_ctest build-asan -j"$jobs" -LE slow

#!/usr/bin/env bash
# Builds everything and runs every test: first the normal build, then the
# build with AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage: scripts/test.sh [--no-sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

run_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" -j"$jobs" --timeout 300
}

run_build build
if [ "${1:-}" != "--no-sanitize" ]; then
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
    run_build build-sanitize -DPELORIN_SANITIZE=ON -DPELORIN_BENCHMARKS=OFF
fi

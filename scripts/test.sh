#!/usr/bin/env bash
# Builds everything and runs every test: first the normal build, then the
# build with AddressSanitizer and UndefinedBehaviorSanitizer.  Every build
# here treats compiler warnings as errors.
# Usage: scripts/test.sh [--no-sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."
# The run list and everything testing adds.
bash scripts/install-deps.sh test
# The layout of every source, before anything is built.
bash scripts/check-format.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1
# The program's runs under test keep their state between runs and their
# history here, never in the home folder of whoever runs the tests.
test_home=$(mktemp -d)
trap 'rm -rf "$test_home"' EXIT
export XDG_STATE_HOME="$test_home/state" XDG_DATA_HOME="$test_home/data"

run_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELORIN_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" -j"$jobs" --timeout 300
}

run_build build -DPELORIN_TESTS=ON -DPELORIN_BENCHMARKS=ON

# The parsers of received bytes under libFuzzer, for a bounded time each.
fuzz() {
  local log
  log=$(mktemp)
  if ! PELORIN_WERROR=ON bash scripts/fuzz.sh "$@" "${PELORIN_FUZZ_SECONDS:-30}" >"$log" 2>&1; then
    cat "$log"; rm -f "$log"; return 1
  fi
  echo "fuzz $2: $(grep -E '^(#[0-9]+.*DONE|Done)' "$log" | tail -n 1)"
  rm -f "$log"
}
# Every target of the list, in its order.
# (Read from descriptor 3, so that nothing a target runs can eat the list.)
while read -r dir target max_len <&3; do
  case $dir in ''|'#'*) continue ;; esac
  fuzz "$dir" "$target" "$max_len"
done 3< scripts/fuzz-targets

if [ "${1:-}" != "--no-sanitize" ]; then
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
    run_build build-sanitize -DPELORIN_SANITIZE=ON -DPELORIN_TESTS=ON -DPELORIN_BENCHMARKS=OFF
fi

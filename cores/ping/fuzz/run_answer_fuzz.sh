#!/usr/bin/env bash
# Builds the ICMP answer readers' libFuzzer target with clang and runs it for
# a bounded time over a copy of the seed corpus (the corpus in the repository
# is not changed).  Usage: run_answer_fuzz.sh [seconds] [build dir]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-30}
build=${2:-$here/../../../build-ping-fuzz}
cxx=$(command -v clang++-14 || command -v clang++)

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here"/corpus/* "$work"/
"$build/echo_answer_fuzz" -artifact_prefix="$build/" -max_total_time="$seconds" -max_len=1500 -timeout=5 \
  -rss_limit_mb=1024 -print_final_stats=1 "$work"

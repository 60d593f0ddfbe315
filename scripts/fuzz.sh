#!/usr/bin/env bash
# Builds one libFuzzer target with clang, as a project of its own (the rest of
# the tree need not be built with clang), and runs it for a bounded time over a
# copy of its seed corpus; the corpus in the repository is not changed.  The
# seeds are in <fuzz dir>/corpus, or in <fuzz dir>/corpus/<target> where one
# directory holds several targets.
# Usage: scripts/fuzz.sh <fuzz dir> <target> <max input length> [seconds] [build dir]
#   e.g. scripts/fuzz.sh cores/syslog/fuzz syslog_parser_fuzz 2048 30
# PELORIN_WERROR=ON in the environment makes compiler warnings errors.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$(cd "$1" && pwd)
target=$2
max_len=$3
seconds=${4:-30}
build=${5:-$top/build-fuzz/$target}
cxx=$(command -v clang++-14 || command -v clang++)

cmake -S "$dir" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELORIN_WERROR="${PELORIN_WERROR:-OFF}" >/dev/null
cmake --build "$build" --target "$target" -j"$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
corpus=$dir/corpus
if [ -d "$corpus/$target" ]; then corpus=$corpus/$target; fi
cp "$corpus"/* "$work"/
"$build/$target" -artifact_prefix="$build/" -max_total_time="$seconds" -max_len="$max_len" -timeout=5 \
  -rss_limit_mb=1024 -print_final_stats=1 "$work"

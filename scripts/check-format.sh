#!/usr/bin/env bash
# Every C and C++ source of the repository is laid out by the .clang-format
# nearest to it (app/ keeps its own). Fails naming the files that are not.
# Usage: scripts/check-format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c' '*.cpp.in')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${sources[@]}"
  exit 0
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! clang-format --dry-run --Werror "${sources[@]}" 2>"$log"; then
  grep -oE '^[^:]+\.(cpp|h|c|in):' "$log" | sort -u | sed 's/:$/: not formatted (scripts\/check-format.sh --fix)/' >&2
  exit 1
fi
echo "format: ${#sources[@]} sources laid out by their .clang-format"

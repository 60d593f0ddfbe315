#!/usr/bin/env bash
# The two package lists of scripts/install-deps.sh as the scripts use them,
# on a simulated machine where no package is installed: dpkg-query knows
# nothing, apt-get only records what it was asked to install, and cmake
# stops the script right after the installation step.
#  - scripts/run.sh installs exactly the run list (the dry-run listing of
#    "run"), none of the packages that only testing adds;
#  - scripts/test.sh installs the run list and the test list (the dry-run
#    listing of "test");
#  - a dry run installs nothing; an unknown argument is refused.
# Usage: install_lists_test.sh <source dir>
set -euo pipefail
src=$1

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fake=$tmp/bin
mkdir -p "$fake"
cat >"$fake/dpkg-query" <<'FAKE'
#!/bin/sh
exit 1
FAKE
cat >"$fake/apt-get" <<'FAKE'
#!/bin/sh
# Records the packages of an install request, one per line.
if [ "$1" = install ]; then
  for a in "$@"; do case $a in install | -*) ;; *) echo "$a" >>"$APT_LOG" ;; esac; done
fi
exit 0
FAKE
cat >"$fake/sudo" <<'FAKE'
#!/bin/sh
exec "$@"
FAKE
cat >"$fake/cmake" <<'FAKE'
#!/bin/sh
exit 42
FAKE
chmod +x "$fake"/*
export PATH="$fake:$PATH"

fail() { echo "FAIL: $*"; exit 1; }

# What a script asked apt-get to install, sorted.
installed_by() {
  local log=$tmp/apt.$1.log
  : >"$log"
  local rc=0
  APT_LOG=$log bash "$src/scripts/$1" >/dev/null 2>&1 || rc=$?
  [ "$rc" -eq 42 ] || fail "$1 did not stop at the fake cmake (status $rc)"
  sort "$log"
}

run_list=$(bash "$src/scripts/install-deps.sh" run --dry-run | sort)
test_list=$(bash "$src/scripts/install-deps.sh" test --dry-run | sort)
default_list=$(bash "$src/scripts/install-deps.sh" --dry-run | sort)
[ -n "$run_list" ] || fail "the run list is empty"
[ "$default_list" = "$test_list" ] || fail "without a list name the test list is not the one used"
[ -z "$(printf '%s\n' "$run_list" | uniq -d)" ] || fail "the run list names a package twice"
[ -z "$(printf '%s\n' "$test_list" | uniq -d)" ] || fail "the lists name a package twice"

only_test=$(comm -13 <(printf '%s\n' "$run_list") <(printf '%s\n' "$test_list"))
[ -n "$only_test" ] || fail "testing adds no package"
[ -z "$(comm -23 <(printf '%s\n' "$run_list") <(printf '%s\n' "$test_list"))" ] ||
  fail "the test list leaves out part of the run list"

by_run=$(installed_by run.sh)
[ "$by_run" = "$run_list" ] || fail "run.sh installed:
$by_run
instead of the run list:
$run_list"
extra=$(comm -12 <(printf '%s\n' "$by_run") <(printf '%s\n' "$only_test"))
[ -z "$extra" ] || fail "run.sh installed test packages: $extra"

by_test=$(installed_by test.sh)
[ "$by_test" = "$test_list" ] || fail "test.sh installed:
$by_test
instead of the test list:
$test_list"

# A dry run only lists.
log=$tmp/apt.dry.log
: >"$log"
APT_LOG=$log bash "$src/scripts/install-deps.sh" test --dry-run >/dev/null
[ ! -s "$log" ] || fail "a dry run called apt-get install"
if bash "$src/scripts/install-deps.sh" everything >/dev/null 2>&1; then fail "an unknown list name was taken"; fi

echo "run list: $(echo $run_list)"
echo "testing adds: $(echo $only_test)"

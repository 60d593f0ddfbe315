#!/usr/bin/env bash
# Checks the files shipped for the desktop and for scheduled runs with the
# system's own checkers: the desktop entry with desktop-file-validate, the
# systemd user service and timer with systemd-analyze, as installed the way
# the README says (the program in ~/.local/opt/dervik).
# Usage: dist_files_test.sh <source dir> <built dervik>
set -euo pipefail
src=$1
dervik=$2

desktop=$src/dist/dervik.desktop
out=$(desktop-file-validate "$desktop" 2>&1) || { echo "$out"; exit 1; }
if [ -n "$out" ]; then echo "desktop-file-validate: $out"; exit 1; fi
grep -qx 'Categories=Network;Monitor;' "$desktop" || { echo "categories are not Network and Monitor"; exit 1; }
grep -qx 'Exec=dervik' "$desktop" || { echo "the entry does not start dervik"; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/home/.local/opt/dervik" "$tmp/run" "$tmp/units"
chmod 700 "$tmp/run"
cp "$dervik" "$tmp/home/.local/opt/dervik/dervik"
cp "$src/dist/systemd/dervik.service" "$src/dist/systemd/dervik.timer" "$tmp/units/"
out=$(cd "$tmp/units" && HOME="$tmp/home" XDG_RUNTIME_DIR="$tmp/run" \
  systemd-analyze verify --user ./dervik.timer ./dervik.service 2>&1) || { echo "$out"; exit 1; }
if [ -n "$out" ]; then echo "systemd-analyze: $out"; exit 1; fi

service=$tmp/units/dervik.service
timer=$tmp/units/dervik.timer
grep -qx 'ExecStart=%h/.local/opt/dervik/dervik /AUTO' "$service" || { echo "the service does not run dervik /AUTO"; exit 1; }
grep -qx 'Type=oneshot' "$service" || { echo "the service is not a one-shot job"; exit 1; }
# Once a day: two elapses of the timer's calendar lie 24 hours apart.
calendar=$(sed -n 's/^OnCalendar=//p' "$timer")
mapfile -t next < <(systemd-analyze calendar --iterations=2 "$calendar" |
  sed -n -e 's/^ *Next elapse: *//p' -e 's/^ *Iter\. #2: *//p')
[ ${#next[@]} -eq 2 ] || { echo "no elapses for OnCalendar=$calendar"; exit 1; }
gap=$(( $(date -d "${next[1]}" +%s) - $(date -d "${next[0]}" +%s) ))
[ "$gap" -eq 86400 ] || { echo "OnCalendar=$calendar elapses every $gap s, not daily"; exit 1; }
echo "desktop entry and systemd units valid"

#!/usr/bin/env bash
# Checks the files shipped for the desktop and for scheduled runs: the
# desktop entry with desktop-file-validate, and that the systemd user units
# are there to install.
# Usage: dist_files_test.sh <source dir>
set -euo pipefail
src=$1

desktop=$src/dist/io.pelorin.dervik.desktop
out=$(desktop-file-validate "$desktop" 2>&1) || { echo "$out"; exit 1; }
if [ -n "$out" ]; then echo "desktop-file-validate: $out"; exit 1; fi
grep -qx 'Categories=Network;Monitor;' "$desktop" || { echo "categories are not Network and Monitor"; exit 1; }
grep -qx 'Exec=dervik' "$desktop" || { echo "the entry does not start dervik"; exit 1; }

# The systemd units as shipped: the timer as it is, the service a template
# that cmake --install completes (install_layout_test.sh verifies both as
# installed).
for unit in "$src/dist/systemd/dervik.timer" "$src/dist/systemd/dervik.service.in"; do
  [ -f "$unit" ] || { echo "missing $unit"; exit 1; }
done
grep -qx 'ExecStart=@DERVIK_EXEC_PATH@ /AUTO' "$src/dist/systemd/dervik.service.in" ||
  { echo "the service template does not run the installed program with /AUTO"; exit 1; }
echo "desktop entry valid, systemd units in place"

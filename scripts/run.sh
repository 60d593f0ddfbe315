#!/usr/bin/env bash
# Builds Dervik and starts it on the example settings file.
# The example's devices are all on this machine (loopback addresses and
# localhost) and its mail and syslog reports are switched off.
# Usage: scripts/run.sh [arguments for dervik, e.g. /AUTORUN]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

build=build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target dervik -j"$(nproc)"

exe="$build/bin/dervik"
# The program reads the settings file beside itself; an edited copy is kept.
if [ ! -e "$build/bin/dervik.ini" ]; then
  cp examples/dervik.ini "$build/bin/dervik.ini"
fi
echo "run: settings file $build/bin/dervik.ini" >&2

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run: no display; start it inside one, e.g.: xvfb-run -a bash scripts/run.sh" >&2
  exit 1
fi
exec "$exe" "$@"

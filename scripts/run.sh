#!/usr/bin/env bash
# Builds Dervik and starts it on the example settings file.
# The example's devices are all on this machine (loopback addresses and
# localhost) and its mail and syslog reports are switched off.
# Usage: scripts/run.sh [arguments for dervik, e.g. /AUTORUN]
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what building and running need; scripts/test.sh adds the rest.
bash scripts/install-deps.sh run

build=build
# A first configuration leaves out the tests and benchmarks, whose packages
# this script does not install; a tree that scripts/test.sh configured
# keeps them.
options=()
if [ ! -e "$build/CMakeCache.txt" ]; then options=(-DPELORIN_TESTS=OFF -DPELORIN_BENCHMARKS=OFF); fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
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

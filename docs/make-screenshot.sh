#!/usr/bin/env bash
# Makes docs/screenshot.png: the window on the example settings, on a
# virtual X display with a window manager (for the caption).
# Needs xvfb, imagemagick, x11-utils and openbox; the build of scripts/run.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin
[ -x "$bin/dervik" ] || { echo "build first: bash scripts/run.sh" >&2; exit 1; }
[ -e "$bin/dervik.ini" ] || cp examples/dervik.ini "$bin/dervik.ini"
shot=$(mktemp --suffix=.png)
xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  openbox >/dev/null 2>&1 & sleep 1.5
  "$1/dervik" & pid=$!; sleep 2.5
  import -window root "$2"; kill $pid' _ "$bin" "$shot"
# The desktop is black: trimming leaves the framed window.
convert "$shot" -trim +repage docs/screenshot.png
rm -f "$shot"

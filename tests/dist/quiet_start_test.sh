#!/usr/bin/env bash
# A start by hand on a display writes nothing to standard error: no notes
# of the toolkit about the runtime directory or the platform. Each case
# starts the program alone in a folder with a settings file, on a virtual X
# display, waits until its window is mapped (bounded), ends it and reads
# what it wrote.
# Usage: quiet_start_test.sh <built dervik>
set -euo pipefail
dervik=$1

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/prog" "$tmp/run-ok" "$tmp/run-open"
chmod 700 "$tmp/run-ok"
chmod 755 "$tmp/run-open"  # too open: the toolkit complains about it
cp "$dervik" "$tmp/prog/dervik"
printf '[Devices]\nGateway=127.0.0.1\n' >"$tmp/prog/dervik.ini"

# name | XDG_RUNTIME_DIR ("-" unset)
cases=(
  "runtime dir unset|-"
  "runtime dir with wrong permissions|$tmp/run-open"
  "runtime dir as it should be|$tmp/run-ok"
)

failed=0
for case in "${cases[@]}"; do
  name=${case%%|*}
  runtime=${case#*|}
  err=$tmp/stderr
  : >"$err"
  env_args=(-u XDG_RUNTIME_DIR -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY)
  [ "$runtime" = - ] || env_args+=(XDG_RUNTIME_DIR="$runtime")
  # Inside the display: start, wait for the window (at most 20 s), close.
  xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 800x600x24" bash -c '
    env "${@:3}" "$1" 2>"$2" & pid=$!
    for _ in $(seq 200); do
      if xwininfo -root -tree 2>/dev/null | grep -q "\"Pelorin "; then break; fi
      kill -0 $pid 2>/dev/null || break
      sleep 0.1
    done
    shown=0
    xwininfo -root -tree 2>/dev/null | grep -q "\"Pelorin " && shown=1
    kill $pid 2>/dev/null; wait $pid 2>/dev/null
    [ $shown -eq 1 ]' _ "$tmp/prog/dervik" "$err" "${env_args[@]}" || {
    echo "FAIL ($name): the window never appeared"; cat "$err"; failed=1; continue; }
  if [ -s "$err" ]; then
    echo "FAIL ($name): standard error:"; cat "$err"; failed=1
  else
    echo "ok ($name)"
  fi
done
exit $failed

#!/usr/bin/env bash
# Makes a screenshot of View > History of a device, on a virtual X display
# with a window manager.  One real run on loopback makes the history
# database; the runs before it are added with the sqlite3 shell, with the
# layout of its device list (Gateway first), so the plot shows every part.  The argument says which history:
#   week     (the default) docs/history-window.png: a week of five-minute
#            runs, round trips that rise by day, a few runs with lost echoes
#            and an hour without answer
#   short    docs/history-short.png: the first few minutes, a run a minute
#   outlier  docs/history-outlier.png: a month of runs around 1 ms with one
#            answer of 62 ms, shown over the week
# Pings go to 127.0.0.1 only.  Needs the test packages
# (scripts/install-deps.sh test) and a build.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-week}
case $mode in
  week) shot=history-window.png keys=Down ;;
  short) shot=history-short.png keys= ;;
  outlier) shot=history-outlier.png keys=Down ;;
  *) echo "usage: $0 [week|short|outlier]" >&2; exit 64 ;;
esac
bin=build/bin
[ -x "$bin/dervik" ] || { echo "build first: bash scripts/run.sh" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/prog" "$work/data"
cp "$bin/dervik" ReadMe.txt "$work/prog/"
cp docs/screenshot-display.sh "$work/"
cat >"$work/prog/dervik.ini" <<'INI'
[Ping]
Timeout=1
Times=4
[Devices]
Gateway=127.0.0.1
INI
export XDG_DATA_HOME=$work/data
QT_QPA_PLATFORM=offscreen "$work/prog/dervik" /AUTORUN
db=$(ls "$work"/data/dervik/*.sqlite)
now=$(date +%s)
case $mode in
week)
sqlite3 "$db" <<SQL
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2015)
INSERT INTO runs(time_ms, settings_file, summary, layout_id)
  SELECT ($now - i * 300) * 1000, 'dervik.ini', 'history',
         (SELECT layout_id FROM runs ORDER BY id LIMIT 1) FROM n;
INSERT INTO devices
  SELECT id, 0, 'Gateway', '127.0.0.1',
         CASE WHEN s = 0 THEN 'No connection at all' WHEN s < 4 THEN 'OK (' || (s * 25) || '%)' ELSE 'OK' END,
         CASE WHEN s = 0 THEN 0 ELSE 2 END, 4, s,
         CASE WHEN s = 0 THEN NULL ELSE 300 + k END,
         CASE WHEN s = 0 THEN NULL ELSE 900 + k * 2 END,
         CASE WHEN s = 0 THEN NULL ELSE 2200 + k * 4 END
  FROM (SELECT id,
               ((time_ms / 1000 - $now + 604800) / 300) AS i,
               (abs(((time_ms / 1000) / 300) % 288 - 144) * 6) AS k,
               CASE WHEN ((time_ms / 1000) / 300) % 700 BETWEEN 0 AND 11 THEN 0
                    WHEN ((time_ms / 1000) / 300) % 97 = 0 THEN 3 ELSE 4 END AS s
        FROM runs WHERE summary = 'history');
SQL
;;
short)
sqlite3 "$db" <<SQL
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 7)
INSERT INTO runs(time_ms, settings_file, summary, layout_id)
  SELECT ($now - i * 60) * 1000, 'dervik.ini', 'history',
         (SELECT layout_id FROM runs ORDER BY id LIMIT 1) FROM n;
INSERT INTO devices
  SELECT id, 0, 'Gateway', '127.0.0.1',
         CASE WHEN s < 4 THEN 'OK (' || (s * 25) || '%)' ELSE 'OK' END, 2, 4, s,
         30 + k, 45 + k * 2, 70 + k * 3
  FROM (SELECT id,
               (($now * 1000 - time_ms) / 60000) AS i,
               ((($now * 1000 - time_ms) / 60000) * 7 % 5) AS k,
               CASE WHEN ($now * 1000 - time_ms) / 60000 = 4 THEN 3 ELSE 4 END AS s
        FROM runs WHERE summary = 'history');
SQL
;;
outlier)
sqlite3 "$db" <<SQL
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8640)
INSERT INTO runs(time_ms, settings_file, summary, layout_id)
  SELECT ($now - i * 300) * 1000, 'dervik.ini', 'history',
         (SELECT layout_id FROM runs ORDER BY id LIMIT 1) FROM n;
INSERT INTO devices
  SELECT id, 0, 'Gateway', '127.0.0.1', 'OK', 2, 4, 4,
         CASE WHEN i = 500 THEN 900 ELSE 700 + k END,
         CASE WHEN i = 500 THEN 16200 ELSE 950 + k * 2 END,
         CASE WHEN i = 500 THEN 62000 ELSE 1250 + k * 3 END
  FROM (SELECT id,
               ((($now * 1000 - time_ms) / 1000) / 300) AS i,
               (abs(((time_ms / 1000) / 300) % 288 - 144) % 40) AS k
        FROM runs WHERE summary = 'history');
SQL
;;
esac

cat >"$work/display.sh" <<'DISPLAY'
set -euo pipefail
work=$1
shot=$2
keys=$3
. "$work/screenshot-display.sh"
# Dates and times as a user in the US reads them; the machine's C locale
# would write its long form with seconds.
LANG=en_US.UTF-8 "$work/prog/dervik" </dev/null &
pid=$!
sleep 2  # the display and the window manager settle
main=$(window 'Pelorin')
xdotool windowactivate --sync "$main" >/dev/null 2>&1 || true
xdotool key ctrl+h
history=$(window 'History of Gateway')
xdotool windowactivate --sync "$history" >/dev/null 2>&1 || true
if [ -n "$keys" ]; then xdotool key $keys; fi  # Down: from the day to the week
sleep 0.5
import -frame -window "$history" "$shot"
kill $pid $wm
wait $pid 2>/dev/null || true
DISPLAY
xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1024x768x24" bash "$work/display.sh" "$work" "$PWD/docs/$shot" "$keys"
echo "made docs/$shot"

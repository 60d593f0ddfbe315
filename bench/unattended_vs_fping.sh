#!/usr/bin/env bash
# dervik's automatic run without a display, set against the tools a script
# would use instead, in one private network namespace:
#  - /AUTORUN over 4 addresses on loopback (Times=1, Timeout=1) against
#    `fping -a -t 1000` on the same 4: wall time of the whole process, the
#    minimum and the median of R runs, and dervik's peak RSS against that of
#    a process that only makes a QCoreApplication (bare_core_app). Goals:
#    at most 10 ms beyond fping, at most 15 MB above the bare application.
#  - /AUTOSMTP over the same devices against aiosmtpd on loopback
#    (tests/support/smtp_sink.py): dervik's wall time against one mail
#    session of Python's smtplib with the same message to the same server,
#    timed inside Python; goal: dervik's check (the /AUTORUN time) plus that
#    session plus at most 50 ms.
# Answers checked: fping must name all 4 alive, dervik must end with status 0
# (every device answered, every report sent) and nothing on standard error,
# and the mail server must have stored one message per /AUTOSMTP run.
# State and history of the runs are kept in a temporary folder.
# Usage: bench/unattended_vs_fping.sh [R] [build dir]   (needs root for the namespace)
set -euo pipefail
cd "$(dirname "$0")/.."
R=${1:-5}
BUILD=${2:-build}

if ! command -v fping >/dev/null 2>&1; then
  apt-get install -y --no-install-recommends fping >/dev/null
fi
if [ ! -x "$BUILD/bin/dervik" ] || [ ! -x "$BUILD/bench/bare_core_app" ]; then
  cmake -S . -B "$BUILD" -DPELORIN_BENCHMARKS=ON >/dev/null
  cmake --build "$BUILD" --target dervik bare_core_app -j2 >/dev/null
fi
DERVIK=$(readlink -f "$BUILD/bin/dervik")
BARE=$(readlink -f "$BUILD/bench/bare_core_app")
SINK=$(readlink -f tests/support/smtp_sink.py)

unshare --net bash -s "$R" "$DERVIK" "$BARE" "$SINK" <<'INNER'
set -euo pipefail
R=$1
DERVIK=$2
BARE=$3
SINK=$4
ip link set lo up
echo "0 2147483647" > /proc/sys/net/ipv4/ping_group_range
echo 0 > /proc/sys/net/ipv4/icmp_ratelimit

. bench/work_folder.sh  # the scripts run from the top of the tree
cp "$DERVIK" "$work/dervik"
export XDG_STATE_HOME="$work/state" XDG_DATA_HOME="$work/data"
mkdir -p "$XDG_STATE_HOME" "$XDG_DATA_HOME" "$work/mail"
# No display: what a scheduler gives the program.
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM

ADDRESSES="127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4"

/usr/bin/python3 "$SINK" "$work/mail" >"$work/sink.out" 2>"$work/sink.err" &
sink_pid=$!
for _ in $(seq 100); do
  if [ -s "$work/sink.out" ]; then break; fi
  sleep 0.05
done
port=$(head -n1 "$work/sink.out")
[ -n "$port" ] || { echo "the mail server did not start" >&2; exit 1; }

# write_settings SMTP_HOST: the 4 devices, the mail report to SMTP_HOST.
write_settings() {
  {
    printf '[Ping]\nTimes=1\nTimeout=1\n'
    printf '[SMTP]\nHostAddress=%s\nPort=%s\nRecipients=ops@dervik.test\nSender=dervik@dervik.test\n' "$1" "$port"
    printf '[Devices]\n'
    i=0
    for a in $ADDRESSES; do echo "d$i=$a"; i=$((i + 1)); done
  } > "$work/dervik.ini"
}

# measure NAME CHECK COMMAND...: R runs of COMMAND from $work, each timed
# from start to end under /usr/bin/time (whose own start is on every side
# alike); CHECK (a Python expression over status, out, err) must hold for
# every run. Prints "NAME min median peak" (walls in ms, the largest peak
# RSS of the runs in kB as /usr/bin/time took it from the process itself).
measure() {
  /usr/bin/python3 - "$R" "$work" "$@" <<'PY'
import os, statistics, subprocess, sys, time
runs, work, name, check, cmd = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
walls, peaks = [], []
rss_file = os.path.join(work, name + ".rss")
for _ in range(runs):
    start = time.perf_counter()
    p = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + cmd, capture_output=True, cwd=work)
    walls.append((time.perf_counter() - start) * 1000)
    status, out, err = p.returncode, p.stdout.decode(), p.stderr.decode()
    if not eval(check):
        sys.exit(f"{name}: check failed: status {status}\nstdout:\n{out}stderr:\n{err}")
    peaks.append(int(open(rss_file).read().split()[-1]))
peak = max(peaks)
print(f"{name} {min(walls):.1f} {statistics.median(walls):.1f} {peak}")
PY
}

# field LINE N: the Nth word of a measure line.
field() { echo "$1" | awk -v n="$2" '{print $n}'; }

# /AUTORUN against fping, and the memory against the bare application.
write_settings 0.0.0.0
fping_line=$(measure fping 'status == 0 and len(out.split()) == 4' fping -a -t 1000 $ADDRESSES)
autorun_line=$(measure dervik_autorun 'status == 0 and err == ""' "$work/dervik" /AUTORUN)
bare_line=$(measure bare_core_app 'status == 0' "$BARE")

# /AUTOSMTP against one smtplib session with the report dervik sent.
write_settings 127.0.0.1
before=$(ls "$work/mail" | grep -c '\.eml$' || true)
autosmtp_line=$(measure dervik_autosmtp 'status == 0 and err == ""' "$work/dervik" /AUTOSMTP)
after=$(ls "$work/mail" | grep -c '\.eml$' || true)
if [ "$((after - before))" -ne "$R" ]; then
  echo "the mail server stored $((after - before)) messages of $R" >&2
  exit 1
fi
sample=$(ls "$work"/mail/*.eml | head -n1)
session_line=$(/usr/bin/python3 - "$R" "$port" "$sample" <<'PY'
import smtplib, statistics, sys, time
runs, port, sample = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
message = open(sample, "rb").read()
walls = []
for _ in range(runs):
    start = time.perf_counter()
    with smtplib.SMTP("127.0.0.1", port) as s:
        s.sendmail("dervik@dervik.test", ["ops@dervik.test"], message)
    walls.append((time.perf_counter() - start) * 1000)
print(f"smtplib_session {min(walls):.1f} {statistics.median(walls):.1f} 0")
PY
)

printf '%-18s %10s %10s %10s\n' "" "min ms" "median ms" "peak kB"
for line in "$fping_line" "$autorun_line" "$bare_line" "$autosmtp_line" "$session_line"; do
  printf '%-18s %10s %10s %10s\n' $line
done
/usr/bin/python3 - "$fping_line" "$autorun_line" "$bare_line" "$autosmtp_line" "$session_line" <<'PY'
import sys
f, a, b, m, s = ([float(x) for x in line.split()[1:]] for line in sys.argv[1:])
def verdict(ok): return "met" if ok else "NOT met"
beyond = a[1] - f[1]
print(f"/AUTORUN median beyond fping: {beyond:.1f} ms (goal <= 10: {verdict(beyond <= 10)})")
more = (a[2] - b[2]) / 1024
print(f"/AUTORUN peak RSS above the bare QCoreApplication: {more:.1f} MB (goal <= 15: {verdict(more <= 15)})")
extra = m[1] - a[1] - s[1]
print(f"/AUTOSMTP median beyond its check and one smtplib session: {extra:.1f} ms (goal <= 50: {verdict(extra <= 50)})")
PY
INNER

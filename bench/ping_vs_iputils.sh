#!/usr/bin/env bash
# PingHost (helper path, waiting mode, its socket kept between calls) beside
# iputils ping, both in one private network namespace where only loopback
# exists and ping sockets are allowed.
#
# What is compared, like with like: the same shape of work, N echoes with 60
# bytes of data and time-to-live 128 to 127.0.0.1, one after the other, in one
# process each, and each process timed from outside from start to exit:
# `ping_bench N series` (the N PingHost calls and nothing else) against
# `ping -q -c N -i 0 -s 60 -t 128`.  Both pay their process start once, so the
# start is in both figures and none is subtracted.  (iputils with -i 0
# may send the next echo before the last answer is in: its "pipe" figure says
# how many it had in flight at most; PingHost always waits for the answer.)
# ROUNDS rounds (at least 3) take turns; min and median of each are printed.
#
# Answers checked: each process must report N answers of N (ping_bench's
# count, iputils' "received"), else the script fails.
#
# For comparison, not like with like: ping_bench's own timing inside the
# process after a warm-up (no process start), the cost of opening and
# closing one ping socket, and the bare system calls of one echo.
# Usage: [ROUNDS=3] bench/ping_vs_iputils.sh [N] [build dir]   (needs root for the namespace)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-2000}
BUILD=${2:-build}
ROUNDS=${ROUNDS:-3}
if [ "$ROUNDS" -lt 3 ]; then
  echo "ROUNDS must be 3 or more" >&2
  exit 2
fi

if ! command -v ping >/dev/null 2>&1 || ! ping -V 2>&1 | grep -q iputils; then
  apt-get install -y --no-install-recommends iputils-ping >/dev/null
fi
if [ ! -x "$BUILD/bench/ping_bench" ]; then
  cmake -S . -B "$BUILD" -DPELORIN_BENCHMARKS=ON >/dev/null
  cmake --build "$BUILD" --target ping_bench -j2 >/dev/null
fi
BENCH=$(readlink -f "$BUILD/bench/ping_bench")

unshare --net bash -s "$N" "$ROUNDS" "$BENCH" <<'INNER'
set -euo pipefail
N=$1
ROUNDS=$2
BENCH=$3
ip link set lo up
echo "0 2147483647" > /proc/sys/net/ipv4/ping_group_range
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen

for round in $(seq "$ROUNDS"); do
  start=${EPOCHREALTIME/./}
  "$BENCH" "$N" series >"$work/ours.out" || true
  end=${EPOCHREALTIME/./}
  echo $((end - start)) >>"$work/ours"
  got=$(awk '/^answers/ {print $2}' "$work/ours.out")
  if [ "$got" != "$N" ]; then
    echo "round $round: PingHost had ${got:-no} answers, not $N" >&2
    exit 1
  fi

  start=${EPOCHREALTIME/./}
  ping -q -c "$N" -i 0 -s 60 -t 128 127.0.0.1 >"$work/ping.out" || true
  end=${EPOCHREALTIME/./}
  echo $((end - start)) >>"$work/theirs"
  got=$(awk '/packets transmitted/ {print $4}' "$work/ping.out")
  if [ "$got" != "$N" ]; then
    echo "round $round: iputils ping had ${got:-no} answers, not $N" >&2
    exit 1
  fi
  # "pipe N" is printed only when more than one echo was in flight.
  pipe=$(awk '{ for (i = 1; i < NF; i++) if ($i == "pipe") print $(i + 1) + 0 }' "$work/ping.out")
  echo "${pipe:-1}" >>"$work/pipe"
done

# ping_bench's own figures, inside one process: also checked for N answers.
if ! detail=$("$BENCH" "$N"); then
  echo "ping_bench's own timing missed answers:" >&2
  echo "$detail" >&2
  exit 1
fi
inner=$(awk '/^ns_per_echo/ {print $2}' <<<"$detail")
sock=$(awk '/^ns_per_socket_open_close/ {print $2}' <<<"$detail")
bare=$(awk '/^ns_per_bare_exchange/ {print $2}' <<<"$detail")

/usr/bin/python3 - "$N" "$ROUNDS" "$work" "$inner" "$sock" "$bare" <<'PY'
import os, statistics, sys
n, rounds, work = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
inner, sock, bare = (float(a) for a in sys.argv[4:7])

def read(name):
    with open(os.path.join(work, name)) as f:
        return [float(line) for line in f]

ours, theirs, pipe = read("ours"), read("theirs"), read("pipe")
print(f"{n} echoes to 127.0.0.1 (60 bytes of data, TTL 128), one after the other, one process each,")
print(f"each process timed from start to exit; {rounds} rounds; every echo answered on both sides")
for label, t in (("ping_bench N series (PingHost)", ours), ("ping -c N -i 0 (iputils)", theirs)):
    print(f"  {label:32} min {min(t) / 1e3:8.2f} ms  median {statistics.median(t) / 1e3:8.2f} ms  "
          f"({statistics.median(t) / n:.1f} us per echo, start included)")
r_med = statistics.median(ours) / statistics.median(theirs)
r_min = min(ours) / min(theirs)
print(f"  ratio PingHost/iputils: median {r_med:.2f}, min {r_min:.2f} (below 1: PingHost is faster)")
print(f"  echoes in flight at most: iputils {max(pipe):.0f}, PingHost 1")
print("for comparison, not like with like (inside ping_bench, after a warm-up, no process start):")
print(f"  PingHost per echo {inner / 1000:.1f} us; a ping socket opened and closed {sock / 1000:.1f} us, "
      f"which a call no longer pays;")
print(f"  the bare system calls of one echo (socket, IP_RECVERR, sendmsg, recv, close) {bare / 1000:.1f} us")
PY
INNER

#!/usr/bin/env bash
# Times N echoes to 127.0.0.1 through PingHost (helper path, waiting mode, its
# socket kept between calls) against iputils `ping -c N -i 0`, both in
# one private network namespace where only loopback exists and ping sockets
# are allowed.  Prints the time per echo of each and their ratio.
# Usage: bench/ping_vs_iputils.sh [N] [build dir]   (needs root for the namespace)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-2000}
BUILD=${2:-build}

if ! command -v ping >/dev/null 2>&1 || ! ping -V 2>&1 | grep -q iputils; then
  apt-get install -y --no-install-recommends iputils-ping >/dev/null
fi
if [ ! -x "$BUILD/bench/ping_bench" ]; then
  cmake -S . -B "$BUILD" -DPELORIN_BENCHMARKS=ON >/dev/null
  cmake --build "$BUILD" --target ping_bench -j"$(nproc)" >/dev/null
fi
BENCH=$(readlink -f "$BUILD/bench/ping_bench")

unshare --net bash -s "$N" "$BENCH" <<'INNER'
set -euo pipefail
N=$1
BENCH=$2
ip link set lo up
echo "0 2147483647" > /proc/sys/net/ipv4/ping_group_range
out=$(QT_QPA_PLATFORM=offscreen "$BENCH" "$N")
ours=$(awk '/^ns_per_echo/ {print $2}' <<<"$out")
sock=$(awk '/^ns_per_socket_open_close/ {print $2}' <<<"$out")
bare=$(awk '/^ns_per_bare_exchange/ {print $2}' <<<"$out")
start=$(date +%s%N)
ping -q -c "$N" -i 0 127.0.0.1 >/dev/null
end=$(date +%s%N)
theirs=$(( (end - start) / N ))
awk -v n="$N" -v a="$ours" -v b="$theirs" -v s="$sock" -v f="$bare" 'BEGIN {
  printf "echoes                 %d\n", n
  printf "PingHost per echo      %.1f us\n", a / 1000
  printf "iputils ping per echo  %.1f us\n", b / 1000
  printf "ratio                  %.2f (goal <= 1.0)\n", a / b
  printf "for comparison: a socket opened and closed %.1f us, which a call no longer pays\n", s / 1000
  printf "bare system calls of one call (socket, IP_RECVERR, sendmsg, recv, close) %.1f us: ratio %.2f\n", f / 1000, f / b
}'
INNER

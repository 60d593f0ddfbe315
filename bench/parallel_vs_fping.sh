#!/usr/bin/env bash
# Times dervik's automatic check run with many devices in flight (Parallel at
# its limit, 256) against `fping -c 4 -t 1000` over the same addresses, both
# in one private network namespace: N devices of which S are silent, Times=4,
# Timeout=1.  The answering addresses are local to the namespace (a local
# route on loopback), the silent ones are sent through a veth to a neighbour
# that does not exist, so their requests leave and nothing comes back.
# Beside them the run of one device after the other, measured on a list of M
# devices with the same share of silent ones and scaled to N (the full list
# would take minutes: every silent device waits Times x Timeout).
# Usage: bench/parallel_vs_fping.sh [N] [S] [M] [build dir]   (needs root for the namespace)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-1000}
S=${2:-100}
M=${3:-50}
BUILD=${4:-build}

if ! command -v fping >/dev/null 2>&1; then
  apt-get install -y --no-install-recommends fping >/dev/null
fi
if [ ! -x "$BUILD/bin/dervik" ]; then
  cmake -S . -B "$BUILD" >/dev/null
  cmake --build "$BUILD" --target dervik -j"$(nproc)" >/dev/null
fi
DERVIK=$(readlink -f "$BUILD/bin/dervik")

unshare --net bash -s "$N" "$S" "$M" "$DERVIK" <<'INNER'
set -euo pipefail
N=$1
S=$2
M=$3
DERVIK=$4
ip link set lo up
echo "0 2147483647" > /proc/sys/net/ipv4/ping_group_range
echo 0 > /proc/sys/net/ipv4/icmp_ratelimit
# Answering: every address of 198.18.0.0/16 is this namespace's own.
ip route add local 198.18.0.0/16 dev lo table local
# Silent: 198.19.0.0/16 goes out of v0 to a neighbour whose MAC nobody has.
ip link add v0 type veth peer name v1
ip link set v0 up
ip link set v1 up
ip addr add 10.9.0.1/30 dev v0
ip neigh add 10.9.0.2 lladdr 02:00:00:00:00:01 dev v0 nud permanent
ip route add 198.19.0.0/16 via 10.9.0.2 dev v0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$DERVIK" "$work/dervik"

# count silent: the addresses, silent ones spread evenly through the list.
addresses() {
  local count=$1 silent=$2 i
  for ((i = 0; i < count; i++)); do
    if (( silent > 0 && i % (count / silent) == 0 && i / (count / silent) < silent )); then
      echo "198.19.$((i / 250)).$((1 + i % 250))"
    else
      echo "198.18.$((i / 250)).$((1 + i % 250))"
    fi
  done
}

# parallel count silent: one automatic run; prints its wall time in ms and
# its summary line.
run_dervik() {
  local parallel=$1 count=$2 silent=$3 i=0 start end
  {
    printf '[Ping]\nTimeout=1\nTimes=4\nTTL=64\nParallel=%s\n[Devices]\n' "$parallel"
    while read -r a; do echo "d$i=$a"; i=$((i + 1)); done < <(addresses "$count" "$silent")
  } > "$work/dervik.ini"
  start=$(date +%s%N)
  env -u DISPLAY -u WAYLAND_DISPLAY "$work/dervik" /AUTORUN 2> "$work/err" || true
  end=$(date +%s%N)
  echo "$(( (end - start) / 1000000 )) $(grep -m1 'checked' "$work/err" | sed 's/.*: //')"
}

read -r par_ms par_summary < <(run_dervik 100000 "$N" "$S")
addresses "$N" "$S" > "$work/targets"
start=$(date +%s%N)
fping -q -c 4 -t 1000 < "$work/targets" 2> "$work/fping" || true
end=$(date +%s%N)
fping_ms=$(( (end - start) / 1000000 ))
alive() { awk '/xmt\/rcv/ { split($5, a, "/"); if (a[2] + 0 > 0) n++ } END { print n + 0 }' "$1"; }
fping_alive=$(alive "$work/fping")
# The same with fping's gap between two requests cut from 10 ms to 1 ms.
start=$(date +%s%N)
fping -q -c 4 -t 1000 -i 1 < "$work/targets" 2> "$work/fping1" || true
end=$(date +%s%N)
fping1_ms=$(( (end - start) / 1000000 ))
fping1_alive=$(alive "$work/fping1")
read -r seq_ms seq_summary < <(run_dervik 1 "$M" $(( M * S / N )))

awk -v n="$N" -v s="$S" -v m="$M" -v p="$par_ms" -v f="$fping_ms" -v q="$seq_ms" \
    -v ps="$par_summary" -v qs="$seq_summary" -v fa="$fping_alive" \
    -v f1="$fping1_ms" -v fa1="$fping1_alive" 'BEGIN {
  printf "devices %d, of which silent %d; Times=4, Timeout=1\n", n, s
  printf "dervik /AUTORUN, Parallel=256      %8.2f s   (%s)\n", p / 1000, ps
  printf "fping -c 4 -t 1000                  %8.2f s   (%d answering)\n", f / 1000, fa
  printf "ratio dervik / fping                %8.2f   (goal <= 1.2)\n", p / f
  printf "fping -c 4 -t 1000 -i 1             %8.2f s   (%d answering); ratio %.2f\n", f1 / 1000, fa1, p / f1
  printf "dervik one after the other, %d devices: %.2f s (%s); scaled to %d: about %.0f s\n",
         m, q / 1000, qs, n, q / 1000 * n / m
}'
INNER

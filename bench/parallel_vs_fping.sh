#!/usr/bin/env bash
# Times dervik's automatic check run with many devices in flight (Parallel far
# above its limit, so as many as the list holds) against
# `fping -c 4 -t 1000 -p 1000 -i 0` over the same addresses, both in one
# private network namespace: N devices of which S are silent, Times=4,
# Timeout=1.  The answering addresses are local to the namespace (a local
# route on loopback), the silent ones are sent through a veth to a neighbour
# that does not exist, so their requests leave and nothing comes back.  Each
# side runs R times; the minimum and the median are printed, and the number
# of answering devices of every run is checked against N - S.
# Beside them the run of one device after the other, measured once on a list
# of M devices with the same share of silent ones and scaled to N (the full
# list would take hours: every silent device waits Times x Timeout).
# The runs keep their state and history in a temporary folder.
# Usage: bench/parallel_vs_fping.sh [N] [S] [R] [M] [build dir]   (needs root for the namespace)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-5000}
S=${2:-500}
R=${3:-3}
M=${4:-50}
BUILD=${5:-build}

if ! command -v fping >/dev/null 2>&1; then
  apt-get install -y --no-install-recommends fping >/dev/null
fi
if [ ! -x "$BUILD/bin/dervik" ]; then
  cmake -S . -B "$BUILD" >/dev/null
  cmake --build "$BUILD" --target dervik -j"$(nproc)" >/dev/null
fi
DERVIK=$(readlink -f "$BUILD/bin/dervik")

unshare --net bash -s "$N" "$S" "$R" "$M" "$DERVIK" <<'INNER'
set -euo pipefail
N=$1
S=$2
R=$3
M=$4
DERVIK=$5
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
# State and history of the runs stay in the temporary folder.
export XDG_STATE_HOME="$work/state" XDG_DATA_HOME="$work/data"
mkdir -p "$XDG_STATE_HOME" "$XDG_DATA_HOME"

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

# parallel count silent: one automatic run; prints its wall time in ms, the
# number of devices that answered and its summary line.
run_dervik() {
  local parallel=$1 count=$2 silent=$3 i=0 start end summary ok
  {
    printf '[Ping]\nTimeout=1\nTimes=4\nTTL=64\nParallel=%s\n[Devices]\n' "$parallel"
    while read -r a; do echo "d$i=$a"; i=$((i + 1)); done < <(addresses "$count" "$silent")
  } > "$work/dervik.ini"
  start=$(date +%s%N)
  # --verbose: the summary line ("checked N devices from ...: ...") is a step.
  env -u DISPLAY -u WAYLAND_DISPLAY "$work/dervik" /AUTORUN --verbose 2> "$work/err" || true
  end=$(date +%s%N)
  summary=$( (grep -m1 'checked' "$work/err" || echo 'no summary') | sed 's/.*: //')
  # "Some connections were OK (F failed - O OK)", "All connections OK", "No connections were OK"
  case "$summary" in
    *" OK)"*) ok=$(sed 's/.* - \([0-9]*\) OK).*/\1/' <<< "$summary") ;;
    "All connections OK"*) ok=$count ;;
    *) ok=0 ;;
  esac
  echo "$(( (end - start) / 1000000 )) $ok $summary"
}

# One fping run over the targets; prints its wall time in ms and the number
# of addresses that answered at least once.
run_fping() {
  local start end
  start=$(date +%s%N)
  fping -q -c 4 -t 1000 -p 1000 -i 0 < "$work/targets" 2> "$work/fping" || true
  end=$(date +%s%N)
  echo "$(( (end - start) / 1000000 )) $(awk '/xmt\/rcv/ { split($5, a, "/"); if (a[2] + 0 > 0) n++ } END { print n + 0 }' "$work/fping")"
}

addresses "$N" "$S" > "$work/targets"
expected=$((N - S))
dervik_times=() fping_times=() bad=0
for ((r = 1; r <= R; r++)); do
  read -r ms ok summary < <(run_dervik 100000 "$N" "$S")
  dervik_times+=("$ms")
  if [ "$ok" != "$expected" ]; then echo "dervik run $r: $ok answering, not $expected ($summary)"; bad=1; fi
  read -r ms alive < <(run_fping)
  fping_times+=("$ms")
  if [ "$alive" != "$expected" ]; then echo "fping run $r: $alive answering, not $expected"; bad=1; fi
done
read -r seq_ms seq_ok seq_summary < <(run_dervik 1 "$M" $(( M * S / N )))

stats() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[1], v[int((NR + 1) / 2)] }'; }
read -r dmin dmed < <(stats "${dervik_times[@]}")
read -r fmin fmed < <(stats "${fping_times[@]}")

awk -v n="$N" -v s="$S" -v r="$R" -v m="$M" -v dmin="$dmin" -v dmed="$dmed" -v fmin="$fmin" \
    -v fmed="$fmed" -v e="$expected" -v q="$seq_ms" -v qs="$seq_summary" \
    -v dall="${dervik_times[*]}" -v fall="${fping_times[*]}" 'BEGIN {
  printf "devices %d, of which silent %d; Times=4, Timeout=1; %d runs each, %d answering in every run\n", n, s, r, e
  printf "dervik /AUTORUN, Parallel=100000      min %6.2f s  median %6.2f s   (ms: %s)\n", dmin / 1000, dmed / 1000, dall
  printf "fping -c 4 -t 1000 -p 1000 -i 0       min %6.2f s  median %6.2f s   (ms: %s)\n", fmin / 1000, fmed / 1000, fall
  printf "ratio dervik / fping                  min %6.2f    median %6.2f\n", dmin / fmin, dmed / fmed
  printf "dervik one after the other, %d devices: %.2f s (%s); scaled to %d: about %.0f s\n",
         m, q / 1000, qs, n, q / 1000 * n / m
}'
exit "$bad"
INNER

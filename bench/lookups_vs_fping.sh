#!/usr/bin/env bash
# Times dervik's automatic check run with many devices in flight over device
# names whose name server never answers, against fping over the same list,
# both in one private network and mount namespace: D dead names and A
# answering addresses, Parallel=16, Times=1, Timeout=1.  The namespace's
# resolv.conf names a name server on loopback that reads every question and
# answers none, with "options timeout:T attempts:1", so every dead name costs
# one resolver time-out of T seconds wherever it is looked up.
# Answers checked: dervik's --json result and fping's summary must each count
# exactly A answering devices (every address, no name), else the script
# fails.  dervik's state, history and settings folders (HOME and the XDG
# folders) lie in a temporary folder that is removed on exit.
# Usage: bench/lookups_vs_fping.sh [D] [A] [T] [build dir]   (needs root for the namespaces)
set -euo pipefail
cd "$(dirname "$0")/.."
D=${1:-20}
A=${2:-20}
T=${3:-2}
BUILD=${4:-build}

if ! command -v fping >/dev/null 2>&1; then
  apt-get install -y --no-install-recommends fping >/dev/null
fi
if [ ! -x "$BUILD/bin/dervik" ]; then
  cmake -S . -B "$BUILD" >/dev/null
  cmake --build "$BUILD" --target dervik -j2 >/dev/null
fi
DERVIK=$(readlink -f "$BUILD/bin/dervik")

unshare --net --mount bash -s "$D" "$A" "$T" "$DERVIK" <<'INNER'
set -euo pipefail
D=$1
A=$2
T=$3
DERVIK=$4
mount --make-rprivate /
ip link set lo up
echo "0 2147483647" > /proc/sys/net/ipv4/ping_group_range
echo 0 > /proc/sys/net/ipv4/icmp_ratelimit
# Answering: every address of 198.18.0.0/16 is this namespace's own.
ip route add local 198.18.0.0/16 dev lo table local

work=$(mktemp -d)
server=
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
# Whatever dervik keeps between runs (the run's state, the history) goes
# here and not into the home folder of whoever runs the script.
mkdir "$work/home" "$work/config" "$work/state" "$work/data" "$work/cache"
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" \
  XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"
printf 'passwd: files\ngroup: files\nhosts: files dns\n' > "$work/nsswitch.conf"
printf 'nameserver 127.0.0.53\noptions timeout:%s attempts:1\n' "$T" > "$work/resolv.conf"
printf '127.0.0.1 localhost\n' > "$work/hosts"
for f in nsswitch.conf resolv.conf hosts; do mount --bind "$work/$f" "/etc/$f"; done
# The name server that never answers: it takes every question and drops it
# (Debian's own python3, as the tests' peers use).
/usr/bin/python3 -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.53", 53))
end = time.monotonic() + 600
while time.monotonic() < end:
    s.settimeout(1)
    try:
        s.recv(512)
    except socket.timeout:
        pass
' &
server=$!
sleep 0.3

# The list: dead names and addresses taking turns.
targets() {
  local i
  for ((i = 0; i < D || i < A; i++)); do
    if ((i < D)); then echo "dead-$i.lan"; fi
    if ((i < A)); then echo "198.18.0.$((1 + i))"; fi
  done
}
targets > "$work/targets"
cp "$DERVIK" "$work/dervik"
{
  printf '[Ping]\nTimeout=1\nTimes=1\nTTL=64\nParallel=16\n[Devices]\n'
  i=0
  while read -r t; do echo "d$i=$t"; i=$((i + 1)); done < "$work/targets"
} > "$work/dervik.ini"

start=$(date +%s%N)
env -u DISPLAY -u WAYLAND_DISPLAY timeout 300 "$work/dervik" /AUTORUN --json "$work/run.json" \
  2> "$work/err" || true
end=$(date +%s%N)
dervik_ms=$(( (end - start) / 1000000 ))
if [ ! -s "$work/run.json" ]; then
  echo "dervik wrote no result:" >&2
  cat "$work/err" >&2
  exit 1
fi
# Devices in the result, those that answered, and the run's own summary.
counts=$(/usr/bin/python3 -c '
import json, sys
run = json.load(open(sys.argv[1]))
devices = run["devices"]
print(len(devices), sum(1 for d in devices if d["answered"] > 0), run["summary"])
' "$work/run.json")
read -r dervik_devices dervik_alive dervik_summary <<<"$counts"

start=$(date +%s%N)
timeout 300 fping -q -c 1 -t 1000 < "$work/targets" 2> "$work/fping" || true
end=$(date +%s%N)
fping_ms=$(( (end - start) / 1000000 ))
fping_alive=$(awk '/xmt\/rcv/ { split($5, a, "/"); if (a[2] + 0 > 0) n++ } END { print n + 0 }' "$work/fping")

failed=0
if [ "$dervik_devices" -ne $((D + A)) ] || [ "$dervik_alive" -ne "$A" ]; then
  echo "dervik: $dervik_alive of $dervik_devices devices answered, not $A of $((D + A))" >&2
  failed=1
fi
if [ "$fping_alive" -ne "$A" ]; then
  echo "fping: $fping_alive targets answered, not $A" >&2
  failed=1
fi

awk -v d="$D" -v a="$A" -v t="$T" -v p="$dervik_ms" -v f="$fping_ms" -v ps="$dervik_summary" \
    -v pa="$dervik_alive" -v fa="$fping_alive" 'BEGIN {
  printf "the same list in one namespace, one process each, one echo per device (1 s time-out)\n"
  printf "dead names %d, answering addresses %d; resolver time-out %d s (attempts 1); Times=1, Timeout=1\n", d, a, t
  printf "dervik /AUTORUN, Parallel=16      %8.2f s   (%d answering; %s)\n", p / 1000, pa, ps
  printf "fping -c 1 -t 1000                %8.2f s   (%d answering)\n", f / 1000, fa
  printf "answers checked: %d expected of each\n", a
  printf "goal for dervik: within %d s (two resolver time-outs and a second)\n", 2 * t + 1
}'
exit "$failed"
INNER

#!/usr/bin/env bash
# Side by side, in one run: N packets sent through TpelSysLog::SendPacket,
# and the same N lines sent by util-linux logger (RFC 3164 form, lines read
# from standard input), each to a receiver on 127.0.0.1 that counts the
# datagrams.  Prints both send rates and their ratio.  Answers checked: the
# receiver must have counted every packet of every round for each sender,
# else the script fails after its summary.
# Usage: [ROUNDS=3] bench/syslog_vs_logger.sh [N] [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-100000}
build=${2:-build}
ROUNDS=${ROUNDS:-3}
bench="$build/bench/syslog_send_bench"
if [ ! -x "$bench" ]; then
  cmake -S . -B "$build" >/dev/null
  cmake --build "$build" --target syslog_send_bench -j2 >/dev/null
fi
command -v logger >/dev/null || { echo "logger (util-linux) is needed" >&2; exit 1; }

work=$(mktemp -d)
receiver_pid=
cleanup() {
  if [ -n "$receiver_pid" ]; then kill "$receiver_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Counts datagrams on 127.0.0.1 until one second passes without any (at most 300 s).
cat >"$work/receiver.py" <<'PY'
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
try:
    s.setsockopt(socket.SOL_SOCKET, 33, 256 << 20)  # SO_RCVBUFFORCE: keep loss out of the figures
except OSError:
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 256 << 20)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1], flush=True)
count, end = 0, time.time() + 300
s.settimeout(60)
while time.time() < end:
    try:
        s.recv(65536)
        count += 1
        s.settimeout(1.0)
    except socket.timeout:
        break
print(count, flush=True)
PY

# start_receiver <name>: starts a receiver and sets $port.
start_receiver() {
  rm -f "$work/$1.out.tmp"  # a port left from an earlier round must not be read
  python3 "$work/receiver.py" >"$work/$1.out.tmp" &
  receiver_pid=$!
  for _ in $(seq 100); do
    port=$(head -n1 "$work/$1.out.tmp" 2>/dev/null || true)
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  echo "receiver did not start" >&2
  exit 1
}
# finish_receiver <name>: waits for the receiver (in this shell, not a subshell) and sets $got.
finish_receiver() {
  wait "$receiver_pid"
  receiver_pid=
  got=$(sed -n 2p "$work/$1.out.tmp")
  mv "$work/$1.out.tmp" "$work/$1.out"
}

seq 0 $((N - 1)) | sed 's/^/benchmark line /' >"$work/lines.txt"

# Alternating rounds, so that load from elsewhere on the machine hits both
# senders alike; the medians are reported.
component_times=() connected_times=() logger_times=() component_got=0 connected_got=0 logger_got=0
for round in $(seq "$ROUNDS"); do
  start_receiver component
  component_times+=("$("$bench" "$port" "$N")")
  finish_receiver component
  component_got=$((component_got + got))

  # logger sends on a connected socket; the same mode of the component, for comparison.
  start_receiver connected
  connected_times+=("$("$bench" "$port" "$N" connected)")
  finish_receiver connected
  connected_got=$((connected_got + got))

  start_receiver logger
  t0=$(date +%s.%N)
  logger --rfc3164 -d -n 127.0.0.1 -P "$port" -p user.info -t bench <"$work/lines.txt"
  t1=$(date +%s.%N)
  finish_receiver logger
  logger_got=$((logger_got + got))
  [ "${VERBOSE:-}" ] && echo "round $round: component ${component_times[-1]} s, logger received $got" >&2 || true
  logger_times+=("$(python3 -c "print($t1 - $t0)")")
done

python3 - "$N" "$ROUNDS" "$component_got" "$connected_got" "$logger_got" "${component_times[*]}" \
  "${connected_times[*]}" "${logger_times[*]}" <<'PY'
import statistics, sys
n, rounds, cgot, kgot, lgot = (int(a) for a in sys.argv[1:6])
cs, ks, ls = (statistics.median(float(t) for t in a.split()) for a in sys.argv[6:9])
cr, kr, lr = n / cs, n / ks, n / ls
total = n * rounds
print(f"packets per round: {n}, rounds: {rounds} (medians)")
print(f"SendPacket:                 {cs:8.3f} s  {cr:12.0f} packets/s  ({cgot} of {total} received)")
print(f"SendPacket, UseConnection:  {ks:8.3f} s  {kr:12.0f} packets/s  ({kgot} of {total} received)")
print(f"logger (stdin):             {ls:8.3f} s  {lr:12.0f} packets/s  ({lgot} of {total} received)")
print(f"ratio SendPacket/logger: {cr / lr:.2f}   with UseConnection: {kr / lr:.2f}")
if (cgot, kgot, lgot) != (total, total, total):
    sys.exit("packets lost: a rate without all its packets received compares nothing")
PY

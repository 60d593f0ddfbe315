#!/usr/bin/env bash
# Side by side, in one run: N messages of 1 KiB sent through TpelSMTP::Send on
# one open connection, and the same N sent by Postfix's smtp-source -d (one
# session, the next message on the same connection), each to Postfix's
# smtp-sink on 127.0.0.1.  Prints both rates, their ratio, the slowest single
# Send and how many Sends took 30 ms or more (TcpNoDelay False: a Send that
# waited on a delayed acknowledgement would take about 40 ms).
# Answers checked: smtp-sink counts the messages it took (-c); each round of
# each sender must have delivered its N, else the script fails.
# Postfix is installed here if it is missing, without configuration and
# without starting its service: only the two programs are run.
# Usage: [ROUNDS=3] bench/smtp_vs_smtp_source.sh [N] [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-5000}
build=${2:-build}
ROUNDS=${ROUNDS:-3}

if [ ! -x /usr/sbin/smtp-sink ] || [ ! -x /usr/sbin/smtp-source ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  # No service may start: policy-rc.d refuses every start while the package installs.
  created_policy=
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
    $SUDO chmod +x /usr/sbin/policy-rc.d
    created_policy=1
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends postfix \
    >/dev/null
  if [ -n "$created_policy" ]; then $SUDO rm -f /usr/sbin/policy-rc.d; fi
fi

bench="$build/bench/smtp_send_bench"
if [ ! -x "$bench" ]; then
  cmake -S . -B "$build" >/dev/null
  cmake --build "$build" --target smtp_send_bench -j2 >/dev/null
fi

. bench/work_folder.sh  # the scripts run from the top of the tree

# start_sink: smtp-sink on a port of 127.0.0.1 that was free a moment ago; sets $port.
start_sink() {
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  local user=()
  # As root smtp-sink gives up its privileges; the postfix user exists with the package.
  if [ "$(id -u)" -eq 0 ]; then user=(-u postfix); fi
  # -c: a running count of the messages taken, one line per change.
  /usr/sbin/smtp-sink "${user[@]}" -c "127.0.0.1:$port" 64 >"$work/sink.out" &
  sink_pid=$!
  for _ in $(seq 100); do
    if python3 -c "import socket, sys; socket.create_connection(('127.0.0.1', $port), 1).close()" \
      2>/dev/null; then
      return 0
    fi
    sleep 0.05
  done
  echo "smtp-sink did not start" >&2
  exit 1
}
# stop_sink <sender>: stops smtp-sink and fails unless it took N messages.
stop_sink() {
  kill "$sink_pid" 2>/dev/null || true
  wait "$sink_pid" 2>/dev/null || true
  sink_pid=
  local taken
  taken=$(tr '\r' '\n' <"$work/sink.out" | sed -n 's/.*mesg=\([0-9]*\).*/\1/p' | tail -n1)
  if [ "${taken:-0}" -ne "$N" ]; then
    echo "$1: smtp-sink took ${taken:-0} messages, not $N" >&2
    exit 1
  fi
}

# Alternating rounds, so that load from elsewhere on the machine hits both
# senders alike; the medians are reported.
send_times=() slowest=() slow_sends=0 source_times=()
for round in $(seq "$ROUNDS"); do
  start_sink
  read -r seconds worst slow < <(QT_QPA_PLATFORM=offscreen "$bench" "$port" "$N")
  send_times+=("$seconds")
  slowest+=("$worst")
  slow_sends=$((slow_sends + slow))
  stop_sink TpelSMTP.Send

  start_sink
  t0=$(date +%s.%N)
  /usr/sbin/smtp-source -d -s 1 -m "$N" -l 1024 -f from@bench.test -t to@bench.test \
    -M bench.test "127.0.0.1:$port"
  t1=$(date +%s.%N)
  stop_sink smtp-source
  source_times+=("$(python3 -c "print($t1 - $t0)")")
  [ "${VERBOSE:-}" ] && echo "round $round: Send $seconds s (slowest $worst ms), smtp-source ${source_times[-1]} s" >&2 || true
done

python3 - "$N" "$ROUNDS" "${send_times[*]}" "${source_times[*]}" "${slowest[*]}" "$slow_sends" <<'PY'
import statistics, sys
n, rounds = int(sys.argv[1]), int(sys.argv[2])
ours = statistics.median(float(t) for t in sys.argv[3].split())
theirs = statistics.median(float(t) for t in sys.argv[4].split())
worst = max(float(t) for t in sys.argv[5].split())
slow = int(sys.argv[6])
print(f"messages of 1 KiB per round: {n}, rounds: {rounds} (medians)")
print(f"TpelSMTP.Send, one connection: {ours:8.3f} s  {n / ours:10.0f} messages/s  "
      f"({1000 * ours / n:.3f} ms per message)")
print(f"  slowest Send {worst:.3f} ms; Sends of 30 ms or more: {slow} of {n * rounds}")
print(f"smtp-source -d:                {theirs:8.3f} s  {n / theirs:10.0f} messages/s  "
      f"({1000 * theirs / n:.3f} ms per message)")
print(f"ratio Send/smtp-source: {(n / ours) / (n / theirs):.2f} (goal >= 1)")
# Each message waits for its replies one after the other: Send has five (RSET,
# MAIL, RCPT, DATA, end of data), smtp-source four (it sends no RSET).
print(f"per reply awaited: Send {1e6 * ours / n / 5:.1f} us, smtp-source {1e6 * theirs / n / 4:.1f} us, "
      f"ratio {(theirs / 4) / (ours / 5):.2f}")
PY

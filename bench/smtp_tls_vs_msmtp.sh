#!/usr/bin/env bash
# Side by side, in one run: N messages of 1 KiB, each on a connection of its
# own with STARTTLS and AUTH PLAIN, sent through TpelSMTP::Send and through
# msmtp, to the same aiosmtpd mail server on 127.0.0.1 (tests/support's
# smtp_sink.py with a certificate of a CA made here by certtool).  Prints both
# wall times and their ratio.  msmtp is installed here if it is missing.
# Usage: bench/smtp_tls_vs_msmtp.sh [N] [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-100}
build=${2:-build}
user=bench
password=bench-secret

if ! command -v msmtp >/dev/null; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends msmtp >/dev/null
fi

bench="$build/bench/smtp_tls_send_bench"
if [ ! -x "$bench" ]; then
  cmake -S . -B "$build" -DPELORIN_BENCHMARKS=ON >/dev/null
  cmake --build "$build" --target smtp_tls_send_bench -j2 >/dev/null
fi

work=$(mktemp -d)
sink_pid=
cleanup() {
  if [ -n "$sink_pid" ]; then kill "$sink_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A CA and a certificate for 127.0.0.1 and localhost, valid for a day.
certtool --generate-privkey --key-type ecdsa --outfile "$work/ca.key" 2>/dev/null
printf 'cn = "bench CA"\nca\ncert_signing_key\nexpiration_days = 1\n' >"$work/ca.tmpl"
certtool --generate-self-signed --load-privkey "$work/ca.key" --template "$work/ca.tmpl" \
  --outfile "$work/ca.pem" 2>/dev/null
certtool --generate-privkey --key-type ecdsa --outfile "$work/server.key" 2>/dev/null
printf 'cn = "localhost"\ndns_name = "localhost"\nip_address = "127.0.0.1"\ntls_www_server\nexpiration_days = 1\n' \
  >"$work/server.tmpl"
certtool --generate-certificate --load-privkey "$work/server.key" --load-ca-certificate "$work/ca.pem" \
  --load-ca-privkey "$work/ca.key" --template "$work/server.tmpl" --outfile "$work/server.pem" 2>/dev/null

# The mail server prints its port once it listens.
mkdir "$work/mail"
/usr/bin/python3 tests/support/smtp_sink.py "$work/mail" --cert "$work/server.pem" \
  --key "$work/server.key" --require-starttls --auth "$user:$password" >"$work/port" &
sink_pid=$!
for _ in $(seq 200); do
  if [ -s "$work/port" ]; then break; fi
  sleep 0.05
done
port=$(head -n1 "$work/port")
if [ -z "$port" ]; then
  echo "the mail server did not start" >&2
  exit 1
fi

# A fixed EHLO domain: msmtp looks nothing up about this machine.
cat >"$work/msmtprc" <<CONF
account bench
host 127.0.0.1
domain bench.test
port $port
tls on
tls_starttls on
tls_trust_file $work/ca.pem
auth plain
user $user
password $password
from from@bench.test
account default : bench
CONF
chmod 600 "$work/msmtprc"
message="$work/message"
# The same message as the driver's: 16 lines of 62 letters and CR LF.
python3 - "$message" <<'PY'
import sys
body = "".join(chr(97 + i) * 62 + "\r\n" for i in range(16))
with open(sys.argv[1], "w", newline="") as f:
    f.write("From: from@bench.test\r\nTo: to@bench.test\r\nSubject: benchmark\r\n\r\n" + body)
PY

ours=$(QT_QPA_PLATFORM=offscreen "$bench" "$port" "$N" "$work/ca.pem" "$user" "$password")
t0=$(date +%s.%N)
for _ in $(seq "$N"); do
  msmtp --file="$work/msmtprc" to@bench.test <"$message"
done
t1=$(date +%s.%N)
theirs=$(python3 -c "print($t1 - $t0)")

stored=$(find "$work/mail" -name '*.eml' | wc -l)
if [ "$stored" -ne $((2 * N)) ]; then
  echo "the server stored $stored messages, not $((2 * N))" >&2
  exit 1
fi
python3 - "$N" "$ours" "$theirs" <<'PY'
import sys
n, ours, theirs = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
print(f"messages of 1 KiB, each on its own STARTTLS + AUTH PLAIN connection: {n}")
print(f"TpelSMTP.Send: {ours:8.3f} s  ({1000 * ours / n:.2f} ms per message)")
print(f"msmtp:         {theirs:8.3f} s  ({1000 * theirs / n:.2f} ms per message, a process each)")
print(f"ratio msmtp/Send: {theirs / ours:.2f} (above 1: Send is faster)")
PY

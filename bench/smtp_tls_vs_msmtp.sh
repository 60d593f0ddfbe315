#!/usr/bin/env bash
# Our mail path (TpelSMTP::Send, driven by bench/smtp_tls_send_bench) beside
# msmtp, doing the same work: messages with the same 1 KiB body, each on a
# connection of its own with STARTTLS (the server's certificate checked
# against a CA made here by certtool) and AUTH PLAIN, to the same aiosmtpd
# server (tests/support/smtp_sink.py) on 127.0.0.1.
#
# What is compared:
#   (a) a process per message, like with like: N runs of smtp_tls_send_bench
#       sending one message each, against N runs of msmtp, taking turns
#       message by message.  Each process is timed from outside, start to
#       exit, the same way for both, and the times of each side added up.
#   (b) N messages from one process: smtp_tls_send_bench sending all N.
#       msmtp cannot do this (a run of msmtp sends one message), so there is
#       no like-with-like figure for it: the line beside msmtp's process per
#       message shows what one process for all saves, and is labelled so.
#
# Same TCP settings for both: Nagle stays on (msmtp sets no TCP_NODELAY and
# neither does TpelSMTP with its default TcpNoDelay=False).  On plain loopback
# a sender with Nagle on that writes a command in two pieces waits for the
# receiver's delayed acknowledgement (about 40 ms), twice a message for
# msmtp, which made the stalls most of its time.  Those stalls are the
# loopback route's, not the sender's: everything runs in a network namespace
# of its own whose loopback routes carry "quickack 1", so that every socket on
# them, the server's and both clients', acknowledges at once.  Both sides and
# the server get the same routes.
#
# Answers checked: after each step the messages the server stored are moved
# aside and counted; each step must have stored exactly its N messages, each
# with the 1 KiB body, an envelope that says TLS and an AUTH PLAIN login.
# ROUNDS rounds (at least 3) take turns between the steps; min and median
# of each step and the ratios of the medians and of the minimums are printed.
# Usage: [ROUNDS=3] bench/smtp_tls_vs_msmtp.sh [N] [build dir]   (needs root for the namespaces)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-100}
build=${2:-build}
ROUNDS=${ROUNDS:-3}
if [ "$ROUNDS" -lt 3 ]; then
  echo "ROUNDS must be 3 or more" >&2
  exit 2
fi
if [ "$N" -lt 1 ] || [ "$N" -gt 10000 ]; then
  echo "N must be 1 to 10000" >&2
  exit 2
fi

if ! command -v msmtp >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends msmtp >/dev/null
fi

bench="$build/bench/smtp_tls_send_bench"
if [ ! -x "$bench" ]; then
  cmake -S . -B "$build" -DPELORIN_BENCHMARKS=ON >/dev/null
  cmake --build "$build" --target smtp_tls_send_bench -j2 >/dev/null
fi
bench=$(readlink -f "$bench")
sink=$(readlink -f tests/support/smtp_sink.py)

# A network namespace for the quick acknowledgements; a mount namespace so that
# nothing looks a name up anywhere but in files.
unshare --net --mount bash -s "$N" "$ROUNDS" "$bench" "$sink" <<'INNER'
set -euo pipefail
N=$1
ROUNDS=$2
bench=$3
sink=$4
user=bench
password=bench-secret
mount --make-rprivate /
ip link set lo up
# Both loopback routes that 127.0.0.1 can take, with quick acknowledgements.
ip route replace local 127.0.0.0/8 dev lo proto kernel scope host src 127.0.0.1 table local quickack 1
ip route replace local 127.0.0.1 dev lo proto kernel scope host src 127.0.0.1 table local quickack 1
if [ "$(ip route show table local 127.0.0.1 | grep -c 'quickack 1')" -ne 1 ]; then
  echo "the loopback route did not take quickack" >&2
  exit 1
fi

. bench/work_folder.sh  # the scripts run from the top of the tree
printf 'passwd: files\ngroup: files\nhosts: files\n' >"$work/nsswitch.conf"
mount --bind "$work/nsswitch.conf" /etc/nsswitch.conf

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

# One mail server for every step; it prints its port once it listens.
mkdir "$work/mail"
/usr/bin/python3 "$sink" "$work/mail" --cert "$work/server.pem" \
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

# A fixed EHLO domain: msmtp looks nothing up about this machine.  Its
# envelope sender, peer@bench.test, tells its messages from ours
# (from@bench.test) at the server; the header lines are the same.
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
from peer@bench.test
account default : bench
CONF
chmod 600 "$work/msmtprc"
message="$work/message"
# The same body as the driver's: 16 lines of 62 letters and CR LF.
/usr/bin/python3 - "$message" <<'PY'
import sys
body = "".join(chr(97 + i) * 62 + "\r\n" for i in range(16))
with open(sys.argv[1], "w", newline="") as f:
    f.write("From: from@bench.test\r\nTo: to@bench.test\r\nSubject: benchmark\r\n\r\n" + body)
PY

# collect <step> <round> <count>: moves what the server stored since the last
# step into a folder of the step's own, and fails unless it is <count> messages.
collect() {
  local dest="$work/got/$1/$2" count
  mkdir -p "$dest"
  find "$work/mail" -maxdepth 1 \( -name '*.eml' -o -name '*.env' \) -exec mv -t "$dest" {} +
  count=$(find "$dest" -name '*.eml' | wc -l)
  if [ "$count" -ne "$3" ]; then
    echo "$1, round $2: the server stored $count messages, not $3" >&2
    exit 1
  fi
}

for round in $(seq "$ROUNDS"); do
  # (a) One process per message, ours and msmtp taking turns message by
  # message, so that load from elsewhere on the machine hits both alike.
  ours=0 theirs=0
  for _ in $(seq "$N"); do
    t0=${EPOCHREALTIME/./}
    "$bench" "$port" 1 "$work/ca.pem" "$user" "$password" >/dev/null
    t1=${EPOCHREALTIME/./}
    msmtp --file="$work/msmtprc" to@bench.test <"$message"
    t2=${EPOCHREALTIME/./}
    ours=$((ours + t1 - t0))
    theirs=$((theirs + t2 - t1))
  done
  collect each "$round" $((2 * N))
  echo "$ours" >>"$work/ours_each"
  echo "$theirs" >>"$work/msmtp_each"

  # (b) All N from one process.
  t0=${EPOCHREALTIME/./}
  "$bench" "$port" "$N" "$work/ca.pem" "$user" "$password" >/dev/null
  t1=${EPOCHREALTIME/./}
  collect ours_one "$round" "$N"
  echo "$((t1 - t0))" >>"$work/ours_one"
done

/usr/bin/python3 - "$N" "$ROUNDS" "$work" "$user" <<'PY'
import glob, os, statistics, sys
n, rounds, work, user = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
body = "".join(chr(97 + i) * 62 + "\r\n" for i in range(16)).encode()

# Each message goes to its sender by the envelope's "from" line.
senders = {"from@bench.test": "ours", "peer@bench.test": "msmtp"}
stored = {"ours_each": [], "msmtp_each": [], "ours_one": []}
for folder in ("each", "ours_one"):
    for eml in sorted(glob.glob(os.path.join(work, "got", folder, "*", "*.eml"))):
        with open(eml[:-4] + ".env") as f:
            envelope = f.read().splitlines()
        sender = senders.get(envelope[0][5:]) if envelope else None
        if sender is None or (folder == "ours_one" and sender != "ours"):
            sys.exit(f"{eml}: from an unexpected sender ({envelope[:1]})")
        stored[folder if folder == "ours_one" else sender + "_each"].append((eml, envelope))

# Every stored message: the body whole, over TLS, logged in with AUTH PLAIN.
sizes, versions = {}, {}
for step, messages in stored.items():
    if len(messages) != n * rounds:
        sys.exit(f"{step}: {len(messages)} messages stored, not {n * rounds}")
    emls = [eml for eml, _ in messages]
    for eml, envelope in messages:
        with open(eml, "rb") as f:
            data = f.read()
        if body not in data:
            sys.exit(f"{step}: {eml} lacks the 1 KiB body")
        tls = [line[4:] for line in envelope if line.startswith("tls TLS")]
        if not tls:
            sys.exit(f"{step}: {eml} did not come over TLS")
        versions.setdefault(step, set()).update(tls)
        if f"auth PLAIN {user}" not in envelope:
            sys.exit(f"{step}: {eml} was not sent after AUTH PLAIN")
    sizes[step] = statistics.mean(os.path.getsize(e) for e in emls)

def seconds(step):
    with open(os.path.join(work, step)) as f:
        return [int(line) / 1e6 for line in f]

t = {step: seconds(step) for step in sizes}
lo = {step: min(v) for step, v in t.items()}
med = {step: statistics.median(v) for step, v in t.items()}

def row(label, step):
    print(f"  {label:34} min {lo[step]:7.3f} s  median {med[step]:7.3f} s  "
          f"({1000 * med[step] / n:6.2f} ms per message; {sizes[step]:.0f} bytes stored each, "
          f"{', '.join(sorted(versions[step]))})")

print(f"{n} messages of a 1 KiB body, each on its own connection with STARTTLS and AUTH PLAIN,")
print("to one aiosmtpd server on 127.0.0.1; loopback routes with quickack, Nagle on both sides;")
print(f"{rounds} rounds; every message checked as stored (body, TLS, AUTH PLAIN)")
print("(a) a process per message, like with like (taking turns, each process timed start to exit, added up):")
row("smtp_tls_send_bench, 1 per run", "ours_each")
row("msmtp, 1 per run", "msmtp_each")
r_med = med["msmtp_each"] / med["ours_each"]
r_min = lo["msmtp_each"] / lo["ours_each"]
word = "faster" if r_med >= 1 else "slower"
print(f"  ratio msmtp/ours: median {r_med:.2f}, min {r_min:.2f} "
      f"(TpelSMTP is {max(r_med, 1 / r_med):.2f}x {word} per message process)")
print("(b) all messages from one process: msmtp cannot (one message per run), so not like with like:")
row(f"smtp_tls_send_bench, {n} in 1 run", "ours_one")
r_med = med["msmtp_each"] / med["ours_one"]
r_min = lo["msmtp_each"] / lo["ours_one"]
word = "faster" if r_med >= 1 else "slower"
print(f"  against msmtp a process per message: median {r_med:.2f}, min {r_min:.2f} "
      f"(Send in one process is {max(r_med, 1 / r_med):.2f}x {word} per message)")
PY
INNER

#!/usr/bin/env bash
# Makes the screenshots of the README on a virtual X display with a window
# manager (for the frames and captions), at the window's default size:
#   docs/screenshot.png     the window after a run with failures and its
#                           mail report, sent to a mail server of the
#                           script's own (aiosmtpd on loopback)
#   docs/readme-window.png  Help > Read me where the desktop has no viewer:
#                           the read-me in the program's own window
#   docs/window-changes.png the window after a run in which the camera,
#                           OK in the run before, stopped answering: its
#                           row in bold
#   docs/window-report-failed.png
#                           the window of "/AUTO" whose mail report failed
#                           (the server refused the login) before the
#                           syslog report went: the status bar keeps both
# The run happens in network and mount namespaces of its own (as root):
# loopback answers, 10.0.0.5 has no route there, and names are looked up in
# a hosts file of the script's own only, so nothing leaves the machine.
# Needs the test packages (scripts/install-deps.sh test) and a build.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin
[ -x "$bin/dervik" ] || { echo "build first: bash scripts/run.sh" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "run as root: the run needs namespaces of its own" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/prog" "$work/etc" "$work/empty-path"
cp "$bin/dervik" ReadMe.txt "$work/prog/"
cp docs/screenshot-display.sh "$work/"
mkdir -p "$work/mail"
cp tests/support/smtp_sink.py "$work/"
printf 'hosts: files\n' >"$work/etc/nsswitch.conf"
printf '127.0.0.1 localhost\n' >"$work/etc/hosts"

# The two steps as scripts of their own: inside the namespaces, then on the
# display.
cat >"$work/inside.sh" <<'INSIDE'
set -euo pipefail
work=$1
docs=$2
ip link set lo up
mount --bind "$work/etc/nsswitch.conf" /etc/nsswitch.conf
mount --bind "$work/etc/hosts" /etc/hosts
xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1024x768x24" bash "$work/display.sh" "$work" "$docs"
INSIDE
cat >"$work/display.sh" <<'DISPLAY'
set -euo pipefail
work=$1
docs=$2
. "$work/screenshot-display.sh"
# The mail server of the report; its first line is its port.
coproc sink { exec /usr/bin/python3 "$work/smtp_sink.py" "$work/mail"; }
read -r port <&"${sink[0]}"
cat >"$work/prog/dervik.ini" <<INI
[Ping]
Timeout=1
Times=2
[SMTP]
HostAddress=127.0.0.1
Port=$port
Recipients=ops@example.org
Sender=dervik@example.org
[Devices]
Gateway=127.0.0.1
Fileserver=127.0.0.2
Printer=10.0.0.5
Camera entrance=camera.invalid
localhost=
INI
# No opener on the PATH: Help > Read me falls back to the program's window.
PATH=$work/empty-path "$work/prog/dervik" /AUTORUN </dev/null &
pid=$!
sleep 2  # the display and the window manager settle
main=$(window 'Pelorin ')
sleep 5  # the run: two pings to each device, one second at most each
xdotool windowactivate --sync "$main" >/dev/null 2>&1 || true
xdotool key ctrl+m  # Send results as mail
for _ in $(seq 50); do [ -e "$work/mail/1.eml" ] && break; sleep 0.1; done
sleep 0.5
import -frame -window "$main" "$docs/screenshot.png"
xdotool key F1
readme=$(window 'ReadMe.txt - Pelorin')
sleep 0.5
import -frame -window "$readme" "$docs/readme-window.png"
kill $pid
wait $pid 2>/dev/null || true

# Two runs that remember each other: the camera answers in the first
# (unattended, it ends by itself) and not in the second.
export XDG_STATE_HOME=$work/state
sed -i 's/^Camera entrance=.*/Camera entrance=127.0.0.3/' "$work/prog/dervik.ini"
timeout 60 "$work/prog/dervik" /AUTOSMTP </dev/null || true
sed -i 's/^Camera entrance=.*/Camera entrance=camera.invalid/' "$work/prog/dervik.ini"
"$work/prog/dervik" /AUTORUN </dev/null &
pid=$!
main=$(window 'Pelorin ')
sleep 5  # the run
import -frame -window "$main" "$docs/window-changes.png"
kill $pid
wait $pid 2>/dev/null || true

# "/AUTO" with a password the server refuses: the mail report fails, the
# syslog report goes, and the window shows both for the 3 s before it closes.
kill "$sink_PID"
mkdir -p "$work/mail-login"
coproc login_sink { exec /usr/bin/python3 "$work/smtp_sink.py" "$work/mail-login" --auth reporter:right; }
read -r port <&"${login_sink[0]}"
cat >"$work/prog/dervik.ini" <<INI
[Ping]
Timeout=1
Times=1
[SMTP]
HostAddress=127.0.0.1
Port=$port
Recipients=ops@example.org
Sender=dervik@example.org
Security=none
User=reporter
Password=wrong
[Syslog]
HostAddress=127.0.0.1
Port=5514
[Devices]
Gateway=127.0.0.1
Fileserver=127.0.0.2
Printer=10.0.0.5
INI
chmod 600 "$work/prog/dervik.ini"
"$work/prog/dervik" /AUTO </dev/null &
pid=$!
main=$(window 'Pelorin ')
# The login the server refused is the sign that both reports are under way.
for _ in $(seq 100); do [ -s "$work/mail-login/auth.log" ] && break; sleep 0.1; done
sleep 0.8
import -frame -window "$main" "$docs/window-report-failed.png"
wait $pid 2>/dev/null || true
kill $wm "$login_sink_PID"
DISPLAY
unshare --net --mount bash "$work/inside.sh" "$work" "$PWD/docs"
echo "made docs/screenshot.png, docs/readme-window.png, docs/window-changes.png and docs/window-report-failed.png"

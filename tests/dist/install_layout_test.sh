#!/usr/bin/env bash
# cmake --install into a prefix of the test's own, then the installed layout
# as a Linux desktop uses it:
#  - the program in bin/, its read-me in share/doc/dervik/, the desktop
#    entry in share/applications/ and its icon in the hicolor theme, the
#    manual page, the bash completion and the AppStream metadata;
#  - the entry valid for desktop-file-validate, its Exec the installed
#    program's name and its Icon a PNG of the theme's size for that folder;
#  - the systemd user service and timer in share/systemd/user, valid for
#    systemd-analyze, the service starting the installed program (also
#    from a prefix with a blank and a %), the timer on weekdays at 06:45
#    and caught up after a missed start;
#  - the installed program names both places of its settings file in
#    --help, and an unattended run reads the file from the user's
#    configuration folder when none lies beside it (a shared bin/).
# Usage: install_layout_test.sh <source dir> <build dir>
set -euo pipefail
src=$1
build=$2

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; fail "cmake --install failed"; }

program=$prefix/bin/dervik
readme=$prefix/share/doc/dervik/ReadMe.txt
entry=$prefix/share/applications/io.pelorin.dervik.desktop
[ -x "$program" ] || fail "no executable program at $program"
[ -f "$readme" ] && cmp -s "$readme" "$src/ReadMe.txt" || fail "the read-me is not installed as $readme"
[ -f "$entry" ] || fail "no desktop entry at $entry"
# The manual page, the bash completion and the AppStream metadata, where
# man, bash-completion and software centres look under the prefix.
for file in share/man/man1/dervik.1.gz share/bash-completion/completions/dervik \
  share/metainfo/io.pelorin.dervik.metainfo.xml; do
  [ -s "$prefix/$file" ] || fail "no $file installed"
done
gzip -t "$prefix/share/man/man1/dervik.1.gz" || fail "the manual page is no gzip file"

out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"

exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
[ -x "$prefix/bin/$exec_name" ] || fail "Exec=$exec_name is not the installed program"

icon=$(sed -n 's/^Icon=//p' "$entry")
[ -n "$icon" ] || fail "the entry names no icon"
case $icon in */*) fail "the icon is a path, not a theme name: $icon" ;; esac
mapfile -t icons < <(find "$prefix/share/icons/hicolor" -path "*/apps/$icon.png")
[ ${#icons[@]} -ge 1 ] || fail "no $icon.png in the hicolor theme"
for file in "${icons[@]}"; do
  size=$(basename "$(dirname "$(dirname "$file")")")  # e.g. 128x128
  signature=$(od -An -tx1 -N8 "$file" | tr -d ' \n')
  [ "$signature" = 89504e470d0a1a0a ] || fail "$file is no PNG"
  width=$(od -An -tu4 --endian=big -j16 -N4 "$file" | tr -d ' ')
  height=$(od -An -tu4 --endian=big -j20 -N4 "$file" | tr -d ' ')
  [ "${width}x${height}" = "$size" ] || fail "$file is ${width}x${height}, not $size"
done

# The systemd user units, where the user's service manager looks (with a
# prefix of ~/.local: ~/.local/share/systemd/user).
mkdir -p "$tmp/run" "$tmp/home"
chmod 700 "$tmp/run"
verify_units() {  # <units folder>
  local out
  [ -f "$1/dervik.service" ] && [ -f "$1/dervik.timer" ] || fail "no dervik.service and dervik.timer in $1"
  out=$(cd "$1" && HOME="$tmp/home" XDG_RUNTIME_DIR="$tmp/run" SYSTEMD_UNIT_PATH="$1:" \
    systemd-analyze verify --user ./dervik.timer ./dervik.service 2>&1) || fail "systemd-analyze verify in $1: $out"
  [ -z "$out" ] || fail "systemd-analyze verify in $1: $out"
}
units=$prefix/share/systemd/user
verify_units "$units"
service=$units/dervik.service
timer=$units/dervik.timer
grep -qxF "ExecStart=$program /AUTO" "$service" ||
  fail "the service does not run $program /AUTO: $(grep '^ExecStart=' "$service")"
grep -qx 'Type=oneshot' "$service" || fail "the service is not a one-shot job"
! grep -q 'network-online' "$service" "$timer" || fail "a user unit names network-online.target, which the user's manager does not have"
while read -r doc; do
  [ -e "${doc#file://}" ] || fail "Documentation= names $doc, which is not installed"
done < <(sed -n 's/^Documentation=//p' "$service" "$timer" | tr ' ' '\n' | grep '^file://' || true)
grep -qx 'Persistent=true' "$timer" || fail "the timer does not catch up a missed run"
# Weekdays at 06:45: the next ten elapses fall on Monday to Friday at
# 06:45, every one of the five among them.
calendar=$(sed -n 's/^OnCalendar=//p' "$timer")
mapfile -t elapses < <(TZ=UTC systemd-analyze calendar --iterations=10 "$calendar" |
  sed -n -e 's/^ *Next elapse: *//p' -e 's/^ *Iter\. #[0-9]*: *//p')
[ ${#elapses[@]} -eq 10 ] || fail "no ten elapses for OnCalendar=$calendar"
days=""
for elapse in "${elapses[@]}"; do
  when=$(TZ=UTC date -d "$elapse" '+%u %H:%M')
  case $when in [1-5]" 06:45") days+=${when%% *} ;; *) fail "OnCalendar=$calendar elapses at $elapse" ;; esac
done
[ "$(fold -w1 <<<"$days" | sort -u | tr -d '\n')" = 12345 ] || fail "OnCalendar=$calendar misses a weekday: $days"

# A prefix with a blank and a %: the service still names the program there.
odd="$tmp/odd prefix%h"
cmake --install "$build" --prefix "$odd" >"$tmp/install-odd.log" 2>&1 || { cat "$tmp/install-odd.log"; fail "cmake --install to '$odd' failed"; }
verify_units "$odd/share/systemd/user"
grep -qxF "ExecStart=\"${odd//%/%%}/bin/dervik\" /AUTO" "$odd/share/systemd/user/dervik.service" ||
  fail "the service does not run the program in '$odd': $(grep '^ExecStart=' "$odd/share/systemd/user/dervik.service")"
rm -rf "$odd"

# The settings file: beside the installed program first, then the user's.
home=$tmp/home
mkdir -p "$home/.config/dervik"
help=$(env -i HOME="$home" PATH=/usr/bin:/bin "$program" --help)
grep -qxF "Settings file: $prefix/bin/dervik.ini" <<<"$help" && grep -qxF "  else $home/.config/dervik/dervik.ini" <<<"$help" ||
  fail "--help does not name both places: $(grep -A1 'Settings file' <<<"$help")"
# With none in place, the user's own file is the one to create, from the
# installed example.
example=$prefix/share/doc/dervik/dervik.ini
[ -f "$example" ] && cmp -s "$example" "$src/examples/dervik.ini" || fail "the example settings are not installed as $example"
grep -qxF "  mkdir -p ~/.config/dervik && cp $example ~/.config/dervik/dervik.ini" <<<"$help" ||
  fail "--help does not say how to create ~/.config/dervik/dervik.ini: $help"

# A file with no device: the run names it, whose [Devices] is empty, so it was read.
printf '[Ping]\nTimes=1\nTimeout=1\n[Devices]\n' >"$home/.config/dervik/dervik.ini"
status=0
err=$(env -i HOME="$home" PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen "$program" /AUTORUN 2>&1 >/dev/null) || status=$?
grep -qxF "dervik: Nothing checked: the [Devices] section of $home/.config/dervik/dervik.ini is empty" <<<"$err" && [ $status -eq 4 ] ||
  fail "the unattended run did not read the user's settings file (status $status): $err"
echo "installed: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"

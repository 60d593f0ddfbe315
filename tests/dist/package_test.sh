#!/usr/bin/env bash
# The Debian package as scripts/package.sh makes it from this build:
#  - its name dervik_<version>_<architecture>.deb, the version the
#    project's (CMakeLists.txt) and the one `dervik --version` prints, the
#    run-time dependencies read from the linked libraries;
#  - its files (dpkg-deb --contents) exactly the expected list, owned by
#    root, the program executable, nothing else;
#  - lintian finds no error, and every warning left is one the README lists
#    with its reason; apt (simulating) takes it with its dependencies;
#  - dpkg installs it into a throw-away root, and the installed program
#    answers --version and --help, names the installed example, and runs
#    unattended against loopback (in a network namespace of the test's own)
#    with its state and history in the test's folders;
#  - the manual page renders with no warning, has its sections, and names
#    the same options as --help, the same exit statuses, and every key of
#    the example settings;
#  - the AppStream metadata is valid (appstreamcli validate --no-net), its
#    id the desktop entry's name, its release the package's version; the
#    desktop entry valid; the systemd user service runs /usr/bin/dervik;
#  - the bash completion completes switches, file names after --json, and
#    the device names of the settings file the program would read.
# Usage: package_test.sh <source dir> <build dir>
set -euo pipefail
export LC_ALL=C.UTF-8  # sort by code point; texts as the C locale writes them
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# --- The package -----------------------------------------------------------
deb=$(bash "$src/scripts/package.sh" --tree "$build" --output "$tmp/out" | tail -n 1) ||
  fail "scripts/package.sh failed"
[ -f "$deb" ] || fail "scripts/package.sh named no package: $deb"

project_version=$(sed -n 's/^project(Pelorin VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$project_version" ] || fail "no project version in CMakeLists.txt"
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$version" = "$project_version" ] || fail "package version $version, project version $project_version"
[ "$arch" = "$(dpkg --print-architecture)" ] || fail "package architecture $arch"
[ "$(basename "$deb")" = "dervik_${version}_${arch}.deb" ] || fail "package file named $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Package)" = dervik ] || fail "package name $(dpkg-deb -f "$deb" Package)"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6widgets6 libqt6core6 libsqlite3-0 libgnutls30; do
  grep -qE "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib (dpkg-shlibdeps): $depends"
done

# --- Its files ---------------------------------------------------------------
cat >"$tmp/expected" <<'EOF'
-rwxr-xr-x ./usr/bin/dervik
-rw-r--r-- ./usr/lib/systemd/user/dervik.service
-rw-r--r-- ./usr/lib/systemd/user/dervik.timer
-rw-r--r-- ./usr/share/applications/io.pelorin.dervik.desktop
-rw-r--r-- ./usr/share/bash-completion/completions/dervik
-rw-r--r-- ./usr/share/doc/dervik/ReadMe.txt
-rw-r--r-- ./usr/share/doc/dervik/changelog.gz
-rw-r--r-- ./usr/share/doc/dervik/copyright
-rw-r--r-- ./usr/share/doc/dervik/dervik.ini
-rw-r--r-- ./usr/share/icons/hicolor/128x128/apps/dervik.png
-rw-r--r-- ./usr/share/man/man1/dervik.1.gz
-rw-r--r-- ./usr/share/metainfo/io.pelorin.dervik.metainfo.xml
EOF
dpkg-deb --contents "$deb" >"$tmp/contents"
awk '$1 !~ /^d/ {print $1, $6}' "$tmp/contents" | sort >"$tmp/files"
sort -o "$tmp/expected" "$tmp/expected"
diff -u "$tmp/expected" "$tmp/files" >"$tmp/files.diff" || { cat "$tmp/files.diff"; fail "the package's files differ from the expected list"; }
awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" {print}' "$tmp/contents" | grep . && fail "a folder of the package is not drwxr-xr-x"
awk '$2 != "root/root" {print}' "$tmp/contents" | grep . && fail "a file of the package is not owned by root"

# --- lintian -----------------------------------------------------------------
lintian --no-tag-display-limit "$deb" >"$tmp/lintian" 2>&1 || true
if grep -q '^E: ' "$tmp/lintian"; then cat "$tmp/lintian"; fail "lintian reports errors"; fi
# The warnings kept, each named with its reason in the README's "Install the package".
section=$(sed -n '/^## Install the package/,/^## /p' "$src/README.md")
while read -r tag; do
  grep -qF "\`$tag\`" <<<"$section" || { cat "$tmp/lintian"; fail "lintian warning $tag is not in the README's list"; }
done < <(sed -n 's/^W: [^:]*: \([^ ]*\).*/\1/p' "$tmp/lintian" | sort -u)

# apt would install it here: every dependency is a package apt can satisfy.
apt-get install -s -q "$deb" >"$tmp/apt.log" 2>&1 && grep -q "^Inst dervik ($version local-deb" "$tmp/apt.log" ||
  { cat "$tmp/apt.log"; fail "apt-get install -s does not take the package"; }

# --- Installed by dpkg into a throw-away root -------------------------------
root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless \
  --log=/dev/null -i "$deb" >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg could not install the package"; }
dpkg --root="$root" -s dervik 2>/dev/null | grep -qx 'Status: install ok installed' || fail "dpkg does not hold dervik installed"
program=$root/usr/bin/dervik
[ -x "$program" ] || fail "no /usr/bin/dervik after the install"
[ "$(od -An -c -N4 "$program" | tr -d ' ')" = '177ELF' ] || fail "/usr/bin/dervik is no ELF program"

home=$tmp/home
mkdir -p "$home" "$tmp/config" "$tmp/state" "$tmp/data"
run() {  # the installed program in a clean environment of the test's own
  env -i HOME="$home" PATH=/usr/bin:/bin XDG_CONFIG_HOME="$tmp/config" XDG_STATE_HOME="$tmp/state" \
    XDG_DATA_HOME="$tmp/data" QT_QPA_PLATFORM=offscreen "$@"
}
shown=$(run "$program" --version)
[ "$shown" = "Dervik $version" ] || fail "dervik --version prints '$shown', the package is $version"
help=$(run "$program" --help) || fail "dervik --help failed"
grep -qxF "  mkdir -p $tmp/config/dervik && cp $root/usr/share/doc/dervik/dervik.ini $tmp/config/dervik/dervik.ini" <<<"$help" ||
  fail "--help does not name the installed example settings: $help"

# An unattended run against loopback, in a network namespace of the test's
# own (as root, or with a user namespace when not).
mkdir -p "$tmp/config/dervik"
printf '[Ping]\nTimes=2\nTimeout=2\n[Devices]\nLoop=127.0.0.1\n' >"$tmp/config/dervik/dervik.ini"
if [ "$(id -u)" -eq 0 ]; then namespace=(unshare --net); else namespace=(unshare --net --map-root-user); fi
status=0
run "${namespace[@]}" sh -c 'ip link set lo up && exec "$@"' sh \
  "$program" /AUTORUN --json "$tmp/run.json" >"$tmp/run.out" 2>"$tmp/run.err" || status=$?
[ $status -eq 0 ] || { cat "$tmp/run.err"; fail "the unattended run ended with status $status"; }
grep -q '"category": *"ok"' "$tmp/run.json" && grep -q '"name": *"Loop"' "$tmp/run.json" ||
  fail "the run's results do not hold Loop answering: $(cat "$tmp/run.json")"
ls "$tmp/state/dervik/" | grep -q . || fail "the run kept no state in \$XDG_STATE_HOME/dervik"
ls "$tmp/data/dervik/"*.sqlite >/dev/null 2>&1 || fail "the run kept no history in \$XDG_DATA_HOME/dervik"
history=$(run "$program" --history --device Loop) || fail "dervik --history failed"
grep -q '^[^,]*,Loop,127\.0\.0\.1,' <<<"$history" || fail "the history does not hold the run: $history"

# --- The manual page ---------------------------------------------------------
page=$root/usr/share/man/man1/dervik.1.gz
MANWIDTH=80 man --warnings -l "$page" >"$tmp/page" 2>"$tmp/page.err" || fail "man could not render the page"
[ ! -s "$tmp/page.err" ] || { cat "$tmp/page.err"; fail "the manual page renders with warnings"; }
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS 'SETTINGS FILE' 'EXIT STATUS' ENVIRONMENT FILES EXAMPLES; do
  grep -qx "$heading" "$tmp/page" || fail "the manual page has no $heading section"
done
grep -q "Dervik $version" "$tmp/page" || fail "the manual page does not name version $version"
page_section() {  # the rendered text under heading $1, up to the next heading
  awk -v h="$1" '$0 == h {on = 1; next} on && /^[A-Z]/ {exit} on' "$tmp/page"
}
options_of() {  # the switches and options named in standard input, sorted
  grep -oE -- '(--[a-z][a-z-]*[a-z]|-h\b|/AUTO[A-Z]*)' | sort -u
}
options_of <<<"$help" >"$tmp/help.options"
page_section OPTIONS | options_of >"$tmp/page.options"
[ "$(wc -l <"$tmp/help.options")" -ge 15 ] || fail "too few options read from --help: $(cat "$tmp/help.options")"
diff -u "$tmp/help.options" "$tmp/page.options" >"$tmp/options.diff" ||
  { cat "$tmp/options.diff"; fail "--help and the manual page's OPTIONS name different options"; }
page_section SYNOPSIS | options_of | comm -23 - "$tmp/help.options" | grep . &&
  fail "the manual page's SYNOPSIS names options that --help does not"
# The exit statuses of --help's list, and of the page's.
sed -n '/^Exit status of an automatic run:/,/^--history/p' <<<"$help" | sed -n 's/^ *\([0-9][0-9]*\)  .*/\1/p' >"$tmp/help.status"
page_section 'EXIT STATUS' | sed -n 's/^       \([0-9][0-9]*\)  *[A-Z].*/\1/p' >"$tmp/page.status"
[ -s "$tmp/help.status" ] || fail "no exit statuses read from --help"
diff -u "$tmp/help.status" "$tmp/page.status" || fail "--help and the manual page list different exit statuses"
# Every section and key of the example settings (set or commented out).
settings_text=$(page_section 'SETTINGS FILE')
section=""
while IFS= read -r line; do
  line=${line%$'\r'}
  case $line in
    '['*']') section=${line#[}; section=${section%]}; grep -qF "[$section]" <<<"$settings_text" ||
      fail "the manual page does not describe [$section]" ;;
    ';'[A-Za-z]*=* | [A-Za-z]*=*)
      [ "$section" = Devices ] && continue
      key=${line#;}; key=${key%%=*}
      grep -qE "^ +$key=" <<<"$settings_text" || fail "the manual page does not describe $key in [$section]" ;;
  esac
done <"$src/examples/dervik.ini"

# --- AppStream metadata, desktop entry, systemd user units ------------------
metainfo=$(find "$root/usr/share/metainfo" -name '*.metainfo.xml')
[ "$(wc -l <<<"$metainfo")" -eq 1 ] || fail "not one metainfo file: $metainfo"
out=$(appstreamcli validate --no-net "$metainfo" 2>&1) || { echo "$out"; fail "appstreamcli validate failed"; }
id=$(sed -n 's:.*<id>\(.*\)</id>.*:\1:p' "$metainfo")
[ "$(basename "$metainfo")" = "$id.metainfo.xml" ] || fail "the metainfo file is not named by its id $id"
desktop=$root/usr/share/applications/$id.desktop
[ -f "$desktop" ] || fail "no desktop entry named by the AppStream id: $id.desktop"
grep -qF "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" || fail "the metainfo does not launch $id.desktop"
grep -qF "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"
out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
grep -qxF 'ExecStart=/usr/bin/dervik /AUTO' "$root/usr/lib/systemd/user/dervik.service" ||
  fail "the packaged service does not run /usr/bin/dervik /AUTO: $(grep '^ExecStart' "$root/usr/lib/systemd/user/dervik.service")"

# --- Bash completion ---------------------------------------------------------
completion=$root/usr/share/bash-completion/completions/dervik
mkdir -p "$tmp/cwd"
touch "$tmp/cwd/run.json" "$tmp/cwd/rules.txt"
printf '[Ping]\nTimes=1\n[devices]\n; Commented=1\nGateway = 10.0.0.1\r\nFileserver=10.0.0.2\nFile Store=10.0.0.3\nnot a device\n[Syslog]\nPort=514\n' \
  >"$tmp/config/dervik/dervik.ini"
complete_words() {  # <with helpers: yes|no> <words...>: the completions of the last word, one a line
  local helpers=$1; shift
  env -i HOME="$home" PATH="$root/usr/bin:/usr/bin:/bin" XDG_CONFIG_HOME="$tmp/config" \
    HELPERS="$helpers" COMPLETION="$completion" bash --norc --noprofile -c '
      cd "$0"
      if [ "$HELPERS" = yes ]; then . /usr/share/bash-completion/bash_completion; fi
      . "$COMPLETION"
      registered=$(complete -p dervik) && [ "$registered" = "complete -F _dervik dervik" ] || { echo "complete -p: $registered" >&2; exit 1; }
      COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
      COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
      _dervik dervik "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      printf "%s\n" "${COMPREPLY[@]}" | sort' "$tmp/cwd" "$@"
}
expect_completion() {  # <helpers> <expected, lines joined by |> <words...>
  local helpers=$1 expected=$2 got; shift 2
  got=$(complete_words "$helpers" "$@" | paste -sd '|') || fail "completion of '$*' failed"
  [ "$got" = "$expected" ] || fail "completion of '$*' (helpers $helpers): '$got', expected '$expected'"
}
for helpers in yes no; do
  expect_completion $helpers '--json' dervik --j
  expect_completion $helpers '/AUTOSMTP|/AUTOSYSLOG' dervik /AUTOS
  expect_completion $helpers '/AUTORUN' dervik /autor
  expect_completion $helpers '--verbose|--version' dervik --ver
  expect_completion $helpers 'rules.txt|run.json' dervik /AUTO --json r
  expect_completion $helpers 'run.json' dervik /AUTO --prometheus run
  expect_completion $helpers 'json' dervik --history --format j
  expect_completion $helpers 'File\ Store|Fileserver|Gateway' dervik --history --device ''
  expect_completion $helpers 'Gateway' dervik --history --device G
  expect_completion $helpers '' dervik --history --device Commented
done
# A settings file beside the program comes first, as for the program.
printf '[Devices]\nBeside=127.0.0.1\n' >"$root/usr/bin/dervik.ini"
expect_completion yes 'Beside' dervik --device ''
rm "$root/usr/bin/dervik.ini"

echo "package $(basename "$deb"): $(wc -l <"$tmp/files") files, lintian: $(grep -c '^[EW]: ' "$tmp/lintian" || true) errors and warnings"

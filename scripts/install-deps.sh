#!/usr/bin/env bash
# Installs the Debian 12 packages Dervik needs, in two lists:
#   run   building and running the program (scripts/run.sh)
#   test  the run list and everything the tests, fuzzing, benchmarks and
#         screenshots add (scripts/test.sh; the default)
# Idempotent: when every package is present it only runs dpkg-query and exits.
# Usage: scripts/install-deps.sh [run|test] [--dry-run]
#   --dry-run  print the packages that would be installed, one per line,
#              and install nothing
set -euo pipefail

# Building and running. Only what the build itself or the running window
# needs belongs here.
run_packages=(
  cmake g++ pkg-config make
  qt6-base-dev libglib2.0-dev nettle-dev
  # TLS on the mail connection
  libgnutls28-dev
  # the history of check runs
  libsqlite3-dev
  # the GSS-API headers, for types and constants only: the library itself
  # (libgssapi-krb5-2) is opened at run time when present
  libkrb5-dev
  # the window's font and the desktop opener of Help > Read me
  fonts-dejavu-core xdg-utils
)

# Testing adds these. A package that only a test, a fuzz run, a benchmark or
# a screenshot needs belongs here.
test_packages=(
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # the check that every source keeps its layout (scripts/check-format.sh)
  clang-format
  # fuzzing (clang's libFuzzer) and sanitizer runtimes
  clang-14 libclang-rt-14-dev
  # test peers and tools: network namespaces, syslog peers, screenshots
  iproute2 util-linux bsdutils rsyslog iputils-ping xvfb xauth x11-apps x11-utils imagemagick openbox xdotool
  # a real mail server for the report tests; checkers of the desktop entry and
  # the systemd units shipped in dist/
  python3-aiosmtpd desktop-file-utils systemd
  # real proxies for the mail connection's firewall tests (SOCKS4/5, HTTP CONNECT),
  # and GNOME's proxy schemas that the firewall auto-detection reads
  dante-server tinyproxy-bin gsettings-desktop-schemas
  # SMTP authentication: a Kerberos realm of the test's own (KDC, kdb5_util,
  # kadmin.local), its mail server side in Python, an independent NTLM implementation
  libgssapi-krb5-2 krb5-kdc krb5-admin-server python3-gssapi python3-impacket
  # the parallel check run's benchmark compares with fping, the mail
  # benchmark over STARTTLS with msmtp
  fping msmtp
  # the TLS tests make their own certificate authority and certificates
  gnutls-bin
  # promtool checks the metrics file of an unattended run; the sqlite3 shell
  # fills a history for the history window's screenshot
  prometheus sqlite3
  # the Debian package (scripts/package.sh, tests/dist/package_test.sh): CPack's
  # DEB generator needs dpkg-dev (dpkg-shlibdeps) and fakeroot; lintian checks
  # the package, appstream validates the metainfo, man-db renders the manual
  # page, bash-completion loads the completion as an installed one is loaded
  dpkg-dev fakeroot lintian appstream man-db bash-completion
)

list=test
dry_run=0
for arg in "$@"; do
  case $arg in
    run | test) list=$arg ;;
    --dry-run) dry_run=1 ;;
    *) echo "usage: $0 [run|test] [--dry-run]" >&2; exit 2 ;;
  esac
done

packages=("${run_packages[@]}")
if [ "$list" = test ]; then packages+=("${test_packages[@]}"); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ "$dry_run" -eq 1 ]; then
  if [ ${#missing[@]} -gt 0 ]; then printf '%s\n' "${missing[@]}"; fi
  exit 0
fi
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

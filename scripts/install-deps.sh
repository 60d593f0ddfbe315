#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Idempotent: when every package is present it only runs dpkg-query and exits.
set -euo pipefail

packages=(
  # build
  cmake g++ pkg-config make
  qt6-base-dev libglib2.0-dev nettle-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # fuzzing (clang's libFuzzer) and sanitizer runtimes
  clang-14 libclang-rt-14-dev
  # test peers and tools: network namespaces, syslog peers, screenshots
  iproute2 util-linux bsdutils rsyslog iputils-ping xvfb xauth x11-apps imagemagick
  # a real mail server for the report tests; checkers of the desktop entry and
  # the systemd units shipped in dist/
  python3-aiosmtpd desktop-file-utils systemd
  # real proxies for the mail connection's firewall tests (SOCKS4/5, HTTP CONNECT),
  # and GNOME's proxy schemas that the firewall auto-detection reads
  dante-server tinyproxy-bin gsettings-desktop-schemas
  # the window's font and the desktop opener
  fonts-dejavu-core xdg-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

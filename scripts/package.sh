#!/usr/bin/env bash
# Builds the Debian package dervik_<version>_<architecture>.deb with CPack's
# DEB generator (cmake/PelorinPackage.cmake), to be installed with
#   sudo apt install ./dervik_<version>_<architecture>.deb
# By default in a build folder of its own, build-package/: the install
# prefix /usr, Debian's build flags (dpkg-buildflags, all hardening), no
# tests. The package's run-time dependencies come from the libraries the
# program links (dpkg-shlibdeps).
# Usage: scripts/package.sh [--tree DIR] [--output DIR]
#   --tree DIR    package the program already built in DIR as it is, without
#                 configuring or building it (the tests package their build)
#   --output DIR  where the package goes (default: the source folder)
# The last line printed is the path of the package.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)

tree=""
output=$src
while [ $# -gt 0 ]; do
  case $1 in
    --tree) [ $# -ge 2 ] || { echo "usage: $0 [--tree DIR] [--output DIR]" >&2; exit 2; }; tree=$2; shift 2 ;;
    --output) [ $# -ge 2 ] || { echo "usage: $0 [--tree DIR] [--output DIR]" >&2; exit 2; }; output=$2; shift 2 ;;
    *) echo "usage: $0 [--tree DIR] [--output DIR]" >&2; exit 2 ;;
  esac
done

if [ -z "$tree" ]; then
  bash "$src/scripts/install-deps.sh" run
  # CPack's DEB generator reads the dependencies with dpkg-shlibdeps.
  command -v dpkg-shlibdeps >/dev/null || {
    echo "package.sh: dpkg-shlibdeps is missing: install dpkg-dev (scripts/install-deps.sh test)" >&2; exit 1; }
  tree=$src/build-package
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  # The build type None leaves the flags to dpkg-buildflags alone.
  CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    cmake -S "$src" -B "$tree" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
      -DPELORIN_TESTS=OFF -DPELORIN_BENCHMARKS=OFF >/dev/null
  cmake --build "$tree" -j"$(nproc)"
fi
[ -f "$tree/CPackConfig.cmake" ] || { echo "package.sh: $tree is no configured build folder" >&2; exit 1; }
tree=$(cd "$tree" && pwd)
mkdir -p "$output"
output=$(cd "$output" && pwd)

# CPack works in a folder of its own, which goes afterwards.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! (cd "$tree" && cpack --config "$tree/CPackConfig.cmake" -G DEB -B "$work") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  find "$work/_CPack_Packages" -name '*.log' -exec cat {} + >&2 2>/dev/null || true
  echo "package.sh: cpack failed" >&2
  exit 1
fi
shopt -s nullglob
packages=("$work"/dervik_*.deb)
[ ${#packages[@]} -eq 1 ] || { cat "$work/cpack.log" >&2; echo "package.sh: cpack made ${#packages[@]} packages" >&2; exit 1; }
mv -f "${packages[0]}" "$output/"
echo "$output/$(basename "${packages[0]}")"

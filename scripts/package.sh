#!/usr/bin/env bash
# scripts/package.sh [BUILD_DIR]: an optimised build without tests and benchmarks in
# BUILD_DIR (default build-pkg), installed under /usr, and the Debian package of it
# made there with CPack. Prints the package's path last.
# scripts/package.sh --built BUILD_DIR: the package of a tree built already under /usr
# (the test command's own build: no second build of the same code).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = --built ]; then
  dir=$(realpath "$2")
else
  dir=$(realpath -m "${1:-$top/build-pkg}")  # the preset is configured from $top
  # The preset package of CMakePresets.json, in BUILD_DIR.
  (cd "$top" && cmake --preset package -B "$dir" >/dev/null)
  cmake --build "$dir" -j"$(nproc)"
fi
rm -f "$dir"/vkthost_*.deb
if ! (cd "$dir" && cpack -G DEB >"$dir/cpack.log" 2>&1); then
  cat "$dir/cpack.log" >&2
  exit 1
fi
packages=("$dir"/vkthost_*.deb)
[ -f "${packages[0]}" ] || { echo "package.sh: CPack made no vkthost_*.deb in $dir" >&2; exit 1; }
echo "${packages[0]}"

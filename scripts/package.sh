#!/usr/bin/env bash
# scripts/package.sh [BUILD_DIR]: an optimised build without tests and benchmarks in
# BUILD_DIR (default build-pkg), installed under /usr, and the Debian package of it
# made there with CPack. Prints the package's path last.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build-pkg}
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVKT_BUILD_TESTS=OFF -DVKT_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/vkthost_*.deb
if ! (cd "$dir" && cpack -G DEB >"$dir/cpack.log" 2>&1); then
  cat "$dir/cpack.log" >&2
  exit 1
fi
packages=("$dir"/vkthost_*.deb)
[ -f "${packages[0]}" ] || { echo "package.sh: CPack made no vkthost_*.deb in $dir" >&2; exit 1; }
echo "${packages[0]}"

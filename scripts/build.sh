#!/usr/bin/env bash
# scripts/build.sh BUILD_DIR [BUILD_TYPE] [SANITIZERS]: configure and build.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build}
type=${2:-RelWithDebInfo}
san=${3:-}
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DVKT_SANITIZE="$san" >/dev/null
cmake --build "$dir" -j"$(nproc)"

#!/usr/bin/env bash
# Builds (optimised) and runs the benchmarks; each prints its table with ratios
# against a baseline measured in the same run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build-bench" Release >/dev/null
"$top/build-bench/bin/handover_bench"
echo
"$top/build-bench/bin/station_bench"

#!/usr/bin/env bash
# Builds (optimised) and runs the benchmarks; each prints its table with ratios
# against a baseline measured in the same run. The backend benchmarks also run
# against a throwaway PostgreSQL cluster on a free loopback port.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build-bench" Release >/dev/null

. "$top/scripts/lib.sh"
export VKT_PG_PORT
VKT_PG_PORT=$(free_port 25632 25830)
work_with_cluster pg-bench "$VKT_PG_PORT"
# The server commits as a production server does (fsync on): what a transaction saves
# is mostly the flush of each commit. PG_FSYNC=off measures the test suite's setting.
export PG_FSYNC=${PG_FSYNC:-on}
bash "$top/scripts/pg-cluster.sh" init "$pgdir" "$VKT_PG_PORT"
echo "PostgreSQL backend on port $VKT_PG_PORT with fsync=$PG_FSYNC"
echo

"$top/build-bench/bin/handover_bench"
echo
"$top/build-bench/bin/station_bench"
echo
"$top/build-bench/bin/backend_bench"
echo
"$top/build-bench/bin/export_bench"
echo
"$top/build-bench/bin/host_acquisition_bench"
echo
# The intake from tower loggers: Modbus devices, an MQTT broker, logger table files.
"$top/build-bench/bin/intake_bench"
echo
# Its own cluster and proxy: the plug-in's rows and round trips over a slow link.
bash "$top/bench/latency.sh" --bin "$top/build-bench/bin" --fsync "$PG_FSYNC"

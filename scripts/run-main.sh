#!/usr/bin/env bash
# The main job: installs what is missing, builds, makes a demo host directory,
# simulates the last two days of the demo towers and runs the plug-in over them,
# then prints what was stored.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build-release" Release >/dev/null

demo=$top/demo
rm -rf "$demo"
"$top/build-release/bin/vkthost" init "$demo" --demo

# Start a few seconds before the next hh:m1:30 (m1 = 01, 06, ..., 56) at least a
# minute ahead, so that the run also sees the five-minute isolation pass. Prints the
# local time 8 s before it, for the epoch second $1.
clock_start() {
  local t=$1 c m
  c=$((t - $(date -d "@$t" +%-S) + 30))
  while :; do
    m=$(date -d "@$c" +%-M)
    if ((m % 5 == 1 && c > t + 60)); then break; fi
    c=$((c + 60))
  done
  date -d "@$((c - 8))" '+%Y-%m-%d %H:%M:%S'
}
now=$(clock_start "$(date +%s)")
echo "running the host over two simulated days, clock placed at $now"
"$top/build-release/bin/vkthost" run "$demo" --simulate last:2d --now "$now" --linger 15
echo
"$top/build-release/bin/vkthost" report "$demo"

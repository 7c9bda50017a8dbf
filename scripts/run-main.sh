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

# Start a few seconds before the next hh:m1:30 (m1 = 01, 06, ..., 56), so that the
# run also sees the five-minute isolation pass.
now=$(python3 - <<'PY'
import datetime
t = datetime.datetime.now().replace(microsecond=0)
c = t.replace(second=30)
while c.minute % 5 != 1 or c <= t + datetime.timedelta(seconds=60):
    c += datetime.timedelta(minutes=1)
print((c - datetime.timedelta(seconds=8)).strftime("%Y-%m-%d %H:%M:%S"))
PY
)
echo "running the host over two simulated days, clock placed at $now"
"$top/build-release/bin/vkthost" run "$demo" --simulate last:2d --now "$now" --linger 15
echo
"$top/build-release/bin/vkthost" report "$demo"

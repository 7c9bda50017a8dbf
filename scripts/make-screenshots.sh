#!/usr/bin/env bash
# scripts/make-screenshots.sh [BUILD_DIR]: makes the README's pictures in docs/images/
# with the program's own commands, under the offscreen platform (or the display that
# QT_QPA_PLATFORM names):
#   window-tower.png         the window host over a demo directory with two simulated
#                            days, tower 1 charted
#   window-backend-down.png  the same with a PostgreSQL backend that is not running
#   dialog-4000.png … dialog-4003.png  the plug-in's four dialogs
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/lib.sh"
build=${1:-$top/build}
host=$build/bin/vkthost
out=$top/docs/images
[ -x "$host" ] || { echo "no $host: build first (scripts/build.sh)" >&2; exit 1; }
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
# A plain folder name: the dialogs show the host directory's path.
work=${TMPDIR:-/tmp}/vkthost-screenshots
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
now="2026-03-12 12:00:00"

echo "== window with tower 1 charted"
"$host" init "$work/demo" --demo >/dev/null
"$host" gui "$work/demo" --simulate last:2d --now "$now" --rtu 1 \
  --quit-after 8 --screenshot "$out/window-tower.png" >/dev/null

echo "== window with the backend down"
# On a loopback port that nobody answers on.
"$host" init "$work/down" --demo --backend postgresql --pg-host 127.0.0.1 \
  --pg-port "$(free_port 55900 55999 1)" --pg-database windpower >/dev/null
"$host" gui "$work/down" --simulate last:2d --now "$now" --rtu 1 \
  --quit-after 10 --screenshot "$out/window-backend-down.png" >/dev/null

echo "== the plug-in's dialogs"
"$host" screenshots "$work/demo" "$work/dialogs" >/dev/null
for n in 4000 4001 4002 4003; do
  cp "$work/dialogs/$n.png" "$out/dialog-$n.png"
done
ls -l "$out"

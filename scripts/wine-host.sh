#!/usr/bin/env bash
# Runs the Windows host program (vkthost.exe of the Windows build) under Wine, as the
# Linux host runs: `scripts/wine-host.sh init DIR --demo`, `scripts/wine-host.sh run
# DIR --frames F --now "…" --linger S`, and so on. unixODBC (i386, behind Wine's ODBC
# layer) reads the host directory's odbc/ folder, named before Wine starts.
# VKT_WIN_BUILD names the Windows build folder (default: build-win of the checkout).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${VKT_WIN_BUILD:-$top/build-win}"
if [[ $# -lt 2 ]]; then
  echo "usage: $0 COMMAND DIR [OPTIONS…]   (rtu add DIR …: DIR third)" >&2
  exit 2
fi
dir="$2"
[[ "$1" == rtu ]] && dir="${3:-}"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
export ODBCSYSINI="$dir/odbc" ODBCINI="$dir/odbc/odbc.ini" VKT_KEEP_ODBCSYSINI=1
exec "$top/scripts/wine-run.sh" "$build/bin/vkthost.exe" "$@"

#!/usr/bin/env bash
# The Windows host under Wine and the Linux host, each over the same simulated hour of
# the demo towers with the same clock, store the same: the reverse-isolation file byte
# for byte, the backend rows, the station rows and the assignment backup.
# Usage: same-as-linux.sh LINUX_VKTHOST
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
linux_host="$1"
work=$(mktemp -d "${TMPDIR:-/tmp}/vkt-same-XXXXXX")
trap 'rm -rf "$work"' EXIT
now="2009-03-12 14:06:22"  # the five-minute isolation pass is due at 14:06:30
run_args=(--simulate "2009-03-12 13:10:00..2009-03-12 14:05:00" --now "$now" --linger 12)

"$linux_host" init "$work/linux" --demo >/dev/null
"$top/scripts/wine-host.sh" init "$work/windows" --demo >/dev/null
"$linux_host" run "$work/linux" "${run_args[@]}" >"$work/linux.out"
"$top/scripts/wine-host.sh" run "$work/windows" "${run_args[@]}" >"$work/windows.out"

failed=0
same() {  # what, linux text, windows text
  if [[ "$2" == "$3" ]]; then
    echo "same: $1"
  else
    echo "DIFFERENT: $1"
    diff <(echo "$2") <(echo "$3") | head -20
    failed=1
  fi
}
same_rows() {  # what, linux file, windows file, query: the same rows, and some
  local linux windows
  linux=$(dump "$2" "$4")
  windows=$(dump "$3" "$4")
  if [[ "$linux" == "0 rows" ]]; then
    echo "DIFFERENT: $1: no rows to compare"
    failed=1
  fi
  same "$1" "$linux" "$windows"
}
dump() {  # file, query: the rows as text
  python3 - "$1" "$2" <<'PY'
import sqlite3, sys
rows = sqlite3.connect(sys.argv[1]).execute(sys.argv[2]).fetchall()
print(len(rows), "rows")
for row in rows:
    print("|".join("NULL" if v is None else repr(v) for v in row))
PY
}

txt_linux=$(cd "$work/linux" && ls ./*.txt 2>/dev/null || true)
txt_windows=$(cd "$work/windows" && ls ./*.txt 2>/dev/null || true)
same "reverse-isolation file names" "$txt_linux" "$txt_windows"
if [[ -z "$txt_linux" ]]; then
  echo "DIFFERENT: no reverse-isolation file was written"
  failed=1
fi
for f in $txt_linux; do
  if cmp -s "$work/linux/$f" "$work/windows/$f"; then echo "same bytes: $f"; else
    echo "DIFFERENT bytes: $f"
    failed=1
  fi
done
for table in FD_RUN_RTTOWER FD_RUN_TOWERHIS; do
  same_rows "backend rows of $table" "$work/linux/backend.db" "$work/windows/backend.db" \
    "SELECT * FROM $table ORDER BY TOWERID, TIME"
done
for station in WP_1 WP_12; do
  same_rows "station rows of $station" "$work/linux/WPData/$station.MDB" \
    "$work/windows/WPData/$station.MDB" 'SELECT * FROM RTTOWER ORDER BY TIME'
done
backup_query="SELECT type, name, sql FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY name"
same "assignment backup tables" \
  "$(dump "$work/linux/VKTCOMM(BAK).MDB" "$backup_query")" \
  "$(dump "$work/windows/VKTCOMM(BAK).MDB" "$backup_query")"
for table in RTU RTUTYPE DATATYPE; do
  same "assignment backup rows of $table" \
    "$(dump "$work/linux/VKTCOMM(BAK).MDB" "SELECT * FROM $table ORDER BY 1")" \
    "$(dump "$work/windows/VKTCOMM(BAK).MDB" "SELECT * FROM $table ORDER BY 1")"
done
grep -h "frames accepted" "$work/linux.out" "$work/windows.out"
exit $failed

#!/usr/bin/env bash
# What the backend tables cost a tower in a year, and what a frame's insert costs
# beside ten million rows.
#
#   bench/scale.sh [--port P] [--bin DIR] [--rows N]
#
# 1. One host with two towers stores 30 simulated days into a fresh cluster; the
#    bytes of FD_RUN_RTTOWER and FD_RUN_TOWERHIS (heap, key index, TOAST:
#    pg_total_relation_size) per row, and for a year of one tower (52,560
#    10-minute and 8,760 hourly rows).
# 2. N rows (10,000,000) of 200 towers, 50,000 times each, filled in bulk with
#    generate_series into FD_RUN_RTTOWER (key and one value: an insert's cost grows
#    with the key index, which is the same for wide rows; the heap is appended to).
# 3. pgbench, one client, the plug-in's transaction of a 10-minute frame (its
#    existence query and insert, as the server received them) for new rows right
#    after the last row of each of the 200 towers, into the full table and into the
#    empty one of schema ext, in turn: latency and server CPU per frame, and their
#    ratio.
# The cluster is the test command's (fsync off: the commit's flush is the same for
# both tables and would hide what the table's size adds); it is deleted at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
port="" bin="$top/build/bin" rows=10000000
while [ $# -gt 0 ]; do
  case $1 in
    --port) port=$2 ;;
    --bin) bin=$2 ;;
    --rows) rows=$2 ;;
    *) echo "usage: $0 [--port P] [--bin DIR] [--rows N]" >&2; exit 2 ;;
  esac
  shift 2
done
vkthost=$bin/vkthost
[ -x "$vkthost" ] || { echo "no $vkthost: build first (scripts/build.sh)" >&2; exit 1; }
. "$top/scripts/lib.sh"
[ -n "$port" ] || port=$(free_port 25801 25899) || exit 1

work_with_cluster scale "$port"
PG_FSYNC=off bash "$top/scripts/pg-cluster.sh" init "$pgdir" "$port"

# 1. Bytes per row as the plug-in writes them; the statements of a 10-minute frame
#    from the server's log on the way.
host=$work/host
"$vkthost" init "$host" --backend postgresql --pg-host 127.0.0.1 --pg-port "$port" \
  --pg-database windpower >/dev/null
for id in 1 2; do "$vkthost" rtu add "$host" --id "$id" --name "T$id" --type 100 >/dev/null; done
psql_as postgres -c "ALTER SYSTEM SET log_statement = 'all'" -c "SELECT pg_reload_conf()" >/dev/null
"$vkthost" run "$host" --simulate "2021-01-01 00:00:00..2021-01-30 23:50:00" --linger 0 >/dev/null
psql_as postgres -c "ALTER SYSTEM RESET log_statement" -c "SELECT pg_reload_conf()" >/dev/null
psql_as fd -c "VACUUM ANALYZE FD_RUN_RTTOWER" -c "VACUUM ANALYZE FD_RUN_TOWERHIS"
read -r tenRows tenBytes hourRows hourBytes < <(psql_as fd -F ' ' -c \
  "SELECT (SELECT count(*) FROM FD_RUN_RTTOWER), pg_total_relation_size('fd_run_rttower'),
          (SELECT count(*) FROM FD_RUN_TOWERHIS), pg_total_relation_size('fd_run_towerhis')")
statements=$work/statements
sed -n 's/^.*LOG:  statement: //p' "$work/pg/log" |
  awk '/^BEGIN;SELECT .*TOWERID = 1 AND TIME = .2021-01-01 00:10:00/ {on = 1} on {print} /^COMMIT$/ {on = 0}' \
    >"$statements"
[ "$(wc -l <"$statements")" -eq 3 ] || { echo "the frame's statements were not in the log" >&2; exit 1; }
# New rows right after each filled tower's last one: tower 100000 + 1000 k + j.
script=$work/insert.sql
{
  echo '\set n :n + 1'
  echo '\set tower 100000 + (:n % 200) * 1000 + 1 + :n / 200'
  sed 's/$/\n\\set end 0/' "$statements" |
    sed -e 's/TOWERID = 1 AND/TOWERID = :tower AND/' -e 's/VALUES(1,/VALUES(:tower,/' \
      -e 's/^BEGIN;/BEGIN\\;/'
} >"$script"
psql_as fd -c "DELETE FROM FD_RUN_RTTOWER" -c "DELETE FROM FD_RUN_TOWERHIS" -c "VACUUM FD_RUN_RTTOWER"

# 2. The bulk fill.
fillStart=$(date +%s.%N)
psql_as fd -c "INSERT INTO FD_RUN_RTTOWER(TOWERID,TIME,V1AVGSP)
  SELECT 100000 + (x % 200) * 1000, timestamp '2020-01-01' + (x / 200) * interval '10 minutes', 5
  FROM generate_series(0, $rows - 1) AS x" -c "VACUUM ANALYZE FD_RUN_RTTOWER"
fillSeconds=$(awk -v s="$fillStart" -v e="$(date +%s.%N)" 'BEGIN {printf "%.0f", e - s}')
read -r fullRows fullBytes indexBytes < <(psql_as fd -F ' ' -c \
  "SELECT (SELECT count(*) FROM FD_RUN_RTTOWER), pg_total_relation_size('fd_run_rttower'),
          pg_indexes_size('fd_run_rttower')")

# 3. The frame's transaction against the full and the empty table: latency and
#    server CPU per frame, one client, three rounds of 10,000 frames each, taken in
#    turn; the medians. 2,000 frames into each first warm the caches, and both tables
#    are analysed then, as autovacuum would have.
bench() {
  PGOPTIONS="-c search_path=$1" pgbench -n -h 127.0.0.1 -p "$port" -U fd -D n="$2" \
    -f "$script" -c 1 -t "$3" windpower
}
bench public 100000 2000 >/dev/null
bench ext 100000 2000 >/dev/null
psql_as fd -c "ANALYZE public.FD_RUN_RTTOWER" -c "ANALYZE ext.FD_RUN_RTTOWER"
measure() {
  local cpu0 cpu1 latency
  cpu0=$(server_cpu "$work/pg")
  latency=$(bench "$1" "$2" 10000 | sed -n 's/^latency average = \([0-9.]*\) ms$/\1/p')
  cpu1=$(server_cpu "$work/pg")
  echo "$latency $(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN {printf "%.4f", (b - a) / 10000 * 1000}')"
}
median() { sort -g | sed -n 2p; }
for round in 0 1 2; do
  measure ext $((round * 10000)) >>"$work/empty"
  measure public $((round * 10000)) >>"$work/full"
done
emptyMs=$(cut -d' ' -f1 "$work/empty" | median) emptyCpu=$(cut -d' ' -f2 "$work/empty" | median)
fullMs=$(cut -d' ' -f1 "$work/full" | median) fullCpu=$(cut -d' ' -f2 "$work/full" | median)

awk -v tr="$tenRows" -v tb="$tenBytes" -v hr="$hourRows" -v hb="$hourBytes" \
  -v fr="$fullRows" -v fb="$fullBytes" -v ib="$indexBytes" -v fs="$fillSeconds" \
  -v fm="$fullMs" -v fc="$fullCpu" -v em="$emptyMs" -v ec="$emptyCpu" '
BEGIN {
  printf "bytes per row as the plug-in writes them (%d 10-minute, %d hourly rows of 2 towers)\n", tr, hr
  printf "%-16s %10s %12s %16s\n", "table", "bytes/row", "rows/year", "MB/tower/year"
  printf "%-16s %10.0f %12d %16.1f\n", "FD_RUN_RTTOWER", tb / tr, 52560, tb / tr * 52560 / 1e6
  printf "%-16s %10.0f %12d %16.1f\n", "FD_RUN_TOWERHIS", hb / hr, 8760, hb / hr * 8760 / 1e6
  printf "%-16s %10s %12d %16.1f\n", "both", "", 61320, (tb / tr * 52560 + hb / hr * 8760) / 1e6
  printf "bulk fill: %d rows in %d s; %.0f MB with %.0f MB of key index (%.0f bytes/row)\n",
    fr, fs, fb / 1e6, ib / 1e6, ib / fr
  printf "%-22s %12s %16s\n", "a 10-minute frame into", "ms/frame", "srv CPU ms/frame"
  printf "%-22s %12.3f %16.3f\n", "the empty table", em, ec
  printf "%-22s %12.3f %16.3f\n", sprintf("%d rows", fr), fm, fc
  printf "ratio full/empty: time %.2f, server CPU %.2f\n", fm / em, fc / ec
}'

#!/usr/bin/env bash
# Many hosts writing into one PostgreSQL backend.
#
#   bench/fleet.sh [--hosts N] [--towers T] [--seconds S] [--offer F] [--fleet TOWERS]
#                  [--fsync on|off] [--port P] [--bin DIR]
#   bench/fleet.sh check PORT HOSTDIR...
#
# Starts one throwaway cluster, N host directories against it with T towers each
# (tower ids 1000*h+1 …), and N `vkthost run --simulate live:SPEED` processes that
# together offer F frames a second (SPEED follows from F). After a warm-up it
# measures S seconds: the frames the backend took (rows of FD_RUN_RTTOWER) and the
# CPU time of the server's processes and of the hosts. Then it stops the hosts (each drains what it
# holds), checks that every station row of every host is in the backend once with
# its value, and runs pgbench with as many clients for as long, one transaction a
# frame with the statements the plug-in sent (taken from the server's statement log
# of a one-tower probe, only the tower id a variable). Last, the towers one such
# backend takes at one frame per 10 minutes, and the headroom against a fleet of
# TOWERS (default: the towers of the run).
#
# `check PORT HOSTDIR...` alone compares the station files of the host directories
# with the backend on PORT; exit 0 when every row is there once with its value.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/lib.sh"

psql_fd() { psql_as fd "$@"; }

# The value columns a station table and its backend table share (TIME first), as
# "name type" lines of the station table; $1 station file, $2 station table, $3
# backend table.
shared_columns() {
  local backend_columns
  backend_columns=$(psql_fd -c "SELECT upper(column_name) FROM information_schema.columns
    WHERE table_schema = 'public' AND table_name = lower('$3')")
  sqlite3 -separator ' ' "$1" "SELECT upper(name), upper(type) FROM pragma_table_info('$2')
    WHERE upper(name) NOT IN ('TOWERID', 'TYPE') ORDER BY cid" |
    while read -r name type; do
      grep -qx "$name" <<<"$backend_columns" && echo "$name $type"
    done
}

# A station column as the backend holds it: the missing value (-99) and NULL alike
# empty, numbers as psql prints them, times as text; $1 "name type".
station_value() {
  set -- $1
  case $2 in
    REAL | DOUBLE | FLOAT | NUMERIC | INTEGER)
      echo "CASE WHEN $1 IS NULL OR $1 = -99 THEN '' ELSE printf('%.15g', $1) END" ;;
    *) echo "COALESCE($1, '')" ;;
  esac
}

# Every station row (10-minute and hourly) of the host directories beside the
# backend's rows of their towers, every column the two tables share, as
# "table|tower|type|TIME|values…" lines; prints what differs and fails when anything
# does. A tower's backend id is its RTU number.
check_rows() {
  local work station backend towers="" dir file tower table kind columns
  work=$(mktemp -d /tmp/vkt-fleet-check-XXXXXX)
  station=$work/station backend=$work/backend
  : >"$station"
  : >"$backend"
  declare -A station_sql backend_sql
  for dir in "$@"; do
    for file in "$dir"/WPData/WP_*.MDB; do
      [ -e "$file" ] || continue
      tower=${file##*/WP_}
      tower=${tower%.MDB}
      towers+="${towers:+,}$tower"
      for table in RTTOWER:FD_RUN_RTTOWER:R HSTOWER:FD_RUN_TOWERHIS:H; do
        IFS=: read -r stable btable kind <<<"$table"
        if [ -z "${station_sql[$kind]:-}" ]; then
          columns=$(shared_columns "$file" "$stable" "$btable")
          station_sql[$kind]="TIME" backend_sql[$kind]="TIME"
          while read -r column; do
            [ "${column%% *}" = TIME ] && continue
            station_sql[$kind]+=",$(station_value "$column")"
            backend_sql[$kind]+=",COALESCE(${column%% *}::text, '')"
          done <<<"$columns"
        fi
        sqlite3 -separator '|' "$file" \
          "SELECT '$kind',$tower,${station_sql[$kind]} FROM $stable" >>"$station"
      done
    done
  done
  if [ -z "$towers" ]; then
    echo "check: no station files under $*" >&2
    rm -rf "$work"
    return 1
  fi
  psql_fd -F '|' -c "SELECT 'R',TOWERID,${backend_sql[R]} FROM FD_RUN_RTTOWER
                       WHERE TOWERID IN ($towers)" \
    -c "SELECT 'H',TOWERID,${backend_sql[H]} FROM FD_RUN_TOWERHIS
          WHERE TOWERID IN ($towers) AND TYPE = 1" >"$backend"
  LC_ALL=C sort -o "$station" "$station"
  LC_ALL=C sort -o "$backend" "$backend"
  local rows twice missing extra
  rows=$(wc -l <"$station")
  twice=$(cut -d'|' -f1-3 "$backend" | uniq -d | wc -l)
  missing=$(LC_ALL=C comm -23 "$station" "$backend" | wc -l)
  extra=$(LC_ALL=C comm -13 "$station" "$backend" | wc -l)
  if [ "$missing" -eq 0 ] && [ "$extra" -eq 0 ] && [ "$twice" -eq 0 ]; then
    echo "check: all $rows station rows of $# hosts are in the backend once, every shared column equal"
    rm -rf "$work"
    return 0
  fi
  echo "check: of $rows station rows, $missing are missing from the backend or differ;" \
    "$extra backend rows are in no station file or differ; $twice keys twice" >&2
  LC_ALL=C comm -3 "$station" "$backend" | head -n 10 >&2
  rm -rf "$work"
  return 1
}

if [ "${1:-}" = check ]; then
  [ $# -ge 3 ] || { echo "usage: $0 check PORT HOSTDIR..." >&2; exit 2; }
  port=$2
  shift 2
  check_rows "$@"
  exit
fi

hosts=16 towers=25 seconds=30 offer=2500 fleet="" fsync=on port="" bin="$top/build/bin"
while [ $# -gt 0 ]; do
  case $1 in
    --hosts) hosts=$2 ;;
    --towers) towers=$2 ;;
    --seconds) seconds=$2 ;;
    --offer) offer=$2 ;;
    --fleet) fleet=$2 ;;
    --fsync) fsync=$2 ;;
    --port) port=$2 ;;
    --bin) bin=$2 ;;
    *) echo "usage: $0 [--hosts N] [--towers T] [--seconds S] [--offer F] [--fleet TOWERS]" \
         "[--fsync on|off] [--port P] [--bin DIR] | check PORT HOSTDIR..." >&2; exit 2 ;;
  esac
  shift 2
done
total=$((hosts * towers))
fleet=${fleet:-$total}
[ "$towers" -le 999 ] || { echo "at most 999 towers a host" >&2; exit 2; }
vkthost=$bin/vkthost
[ -x "$vkthost" ] || { echo "no $vkthost: build first (scripts/build.sh)" >&2; exit 1; }

[ -n "$port" ] || port=$(free_port 25800 25898) || exit 1

work_with_cluster fleet "$port"
pids=()
before_cleanup() {
  for pid in "${pids[@]}"; do kill -s KILL "$pid" 2>/dev/null || true; done
}

# The cluster runs with the durability asked for: the tests run with fsync off; a
# backend in service runs with it on, and every frame's commit then waits for its WAL
# to reach the disk. Every host and every pgbench client holds a connection.
PG_FSYNC=$fsync bash "$top/scripts/pg-cluster.sh" init "$pgdir" "$port"
psql_as postgres -c "ALTER SYSTEM SET max_connections = $((2 * hosts + 20))"
bash "$top/scripts/pg-cluster.sh" stop "$pgdir" "$port"
PG_FSYNC=$fsync bash "$top/scripts/pg-cluster.sh" start "$pgdir" "$port"

# The CPU seconds the host processes used so far.
hosts_cpu() { cpu_seconds "${pids[@]}"; }
frames_in_backend() { psql_fd -c "SELECT count(*) FROM FD_RUN_RTTOWER"; }
now() { date +%s.%N; }

# The statements of one full-hour frame and of one other frame, as the server
# received them from the plug-in of this build: a probe host with tower 999999 runs
# two frames with the server's statement log on.
probe=$work/probe
"$vkthost" init "$probe" --backend postgresql --pg-host 127.0.0.1 --pg-port "$port" \
  --pg-database windpower >/dev/null
"$vkthost" rtu add "$probe" --id 999999 --name P --type 100 >/dev/null
psql_as postgres -c "ALTER SYSTEM SET log_statement = 'all'" -c "SELECT pg_reload_conf()" >/dev/null
logstart=$(wc -c <"$pgdir/log")
"$vkthost" run "$probe" --simulate "2021-01-01 00:00:00..2021-01-01 00:10:00" --linger 0 >/dev/null
psql_as postgres -c "ALTER SYSTEM RESET log_statement" -c "SELECT pg_reload_conf()" >/dev/null
psql_fd -c "DELETE FROM FD_RUN_RTTOWER WHERE TOWERID = 999999" \
  -c "DELETE FROM FD_RUN_TOWERHIS WHERE TOWERID = 999999"
statements=$work/statements
tail -c +"$((logstart + 1))" "$pgdir/log" | sed -n 's/^.*LOG:  statement: //p' |
  awk '/^BEGIN;SELECT .*999999/ {on = 1} on {print} /^COMMIT$/ {on = 0}' >"$statements"
[ "$(grep -c '^COMMIT$' "$statements")" -eq 2 ] && [ "$(wc -l <"$statements")" -eq 8 ] || {
  echo "the probe's statements were not found in the server log" >&2
  cat "$statements" >&2
  exit 1
}
# One transaction a frame; a client's towers are its own, one frame each; every
# sixth frame is a full hour with its hourly row, as in the simulation. A
# meta-command after each line ends it: a ";" would be sent with it; the ";" within
# a line, escaped, keep its statements one query, as the driver sent them.
script=$work/custom.sql
{
  echo '\set n :n + 1'
  echo '\set tower 10000000 + :client_id * 100000 + :n'
  echo '\if :n % 6 = 0'
  sed -n 1,5p "$statements" | sed -e 's/;/\\;/g' -e 's/$/\n\\set end 0/'
  echo '\else'
  sed -n 6,8p "$statements" | sed -e 's/;/\\;/g' -e 's/$/\n\\set end 0/'
  echo '\endif'
} | sed -e 's/\<999999\>/:tower/g' >"$script"

# The hosts, each with towers of its own.
for h in $(seq 1 "$hosts"); do
  dir=$work/host$h
  "$vkthost" init "$dir" --backend postgresql --pg-host 127.0.0.1 --pg-port "$port" \
    --pg-database windpower >/dev/null
  for t in $(seq 1 "$towers"); do
    "$vkthost" rtu add "$dir" --id $((1000 * h + t)) --name "T$h.$t" --type 100 >/dev/null
  done
done

# SPEED: the clock runs so that every host brings towers*SPEED/600 frames a second.
speed=$(awk -v f="$offer" -v n="$total" 'BEGIN {printf "%.0f", f * 600 / n}')
for h in $(seq 1 "$hosts"); do
  "$vkthost" run "$work/host$h" --simulate "live:$speed" --now "2021-01-01 00:00" \
    --drain 600 >"$work/host$h.out" 2>&1 &
  pids+=($!)
done
start=$(now)
until [ "$(frames_in_backend)" -gt 0 ]; do
  sleep 0.2
  if awk -v s="$start" -v n="$(now)" 'BEGIN {exit !(n - s > 60)}'; then
    echo "no frame reached the backend within 60 s" >&2
    tail -n 20 "$work/host1.out" >&2
    exit 1
  fi
done
sleep 5
hcpu0=$(hosts_cpu) cpu0=$(server_cpu "$pgdir") t0=$(now) rows0=$(frames_in_backend)
sleep "$seconds"
hcpu1=$(hosts_cpu) cpu1=$(server_cpu "$pgdir") t1=$(now) rows1=$(frames_in_backend)

# Stop the hosts; each stores what it holds before it ends.
for pid in "${pids[@]}"; do kill -s TERM "$pid"; done
failed=0 h=0
for pid in "${pids[@]}"; do
  h=$((h + 1))
  status=0
  wait "$pid" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "host $h ended with exit code $status:" >&2
    tail -n 15 "$work/host$h.out" >&2
    failed=1
  fi
done
pids=()
host_dirs=()
for h in $(seq 1 "$hosts"); do host_dirs+=("$work/host$h"); done
check_rows "${host_dirs[@]}" || failed=1
stored=$(frames_in_backend)

# pgbench with as many clients for as long.
cpu2=$(server_cpu "$pgdir") t2=$(now) rows2=$(frames_in_backend)
pgbench -n -h 127.0.0.1 -p "$port" -U fd -D n=0 -f "$script" -c "$hosts" -j 2 \
  -T "$seconds" windpower >"$work/pgbench.out" 2>&1 || {
  cat "$work/pgbench.out" >&2
  exit 1
}
cpu3=$(server_cpu "$pgdir") t3=$(now) rows3=$(frames_in_backend)

awk -v hosts="$hosts" -v towers="$total" -v offer="$offer" -v fleet="$fleet" \
  -v fsync="$fsync" -v stored="$stored" -v cores="$(nproc)" \
  -v pr="$((rows1 - rows0))" -v pt="$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')" \
  -v pc="$(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN {print b - a}')" \
  -v hc="$(awk -v a="$hcpu0" -v b="$hcpu1" 'BEGIN {print b - a}')" \
  -v br="$((rows3 - rows2))" -v bt="$(awk -v a="$t2" -v b="$t3" 'BEGIN {print b - a}')" \
  -v bc="$(awk -v a="$cpu2" -v b="$cpu3" 'BEGIN {print b - a}')" '
BEGIN {
  prate = pr / pt; brate = br / bt
  pcpu = pr ? pc / pr * 1000 : 0; bcpu = br ? bc / br * 1000 : 0
  printf "many hosts into one PostgreSQL backend (fsync=%s, %d cores, hosts and server on one machine)\n", fsync, cores
  printf "%-8s %6s %7s %9s %14s %14s %16s\n", "writer", "hosts", "towers", "frames/s", "srv CPU s/1000", "srv CPU share", "hosts CPU s/1000"
  printf "%-8s %6d %7d %9.0f %14.3f %13.0f%% %16.3f\n", "plug-in", hosts, towers, prate, pcpu, pc / pt / cores * 100, pr ? hc / pr * 1000 : 0
  printf "%-8s %6d %7s %9.0f %14.3f %13.0f%% %16s\n", "pgbench", hosts, "-", brate, bcpu, bc / bt / cores * 100, "-"
  printf "ratio plug-in/pgbench: frames/s %.2f, server CPU per frame %.2f\n", prate / brate, pcpu / bcpu
  printf "offered %d frames/s (%s); %d frames stored in the window of %.0f s, %d in all\n", offer,
    prate < 0.9 * offer ? "more than was stored: the limit of hosts and server on these cores" : "all was stored: raise --offer for the limit",
    pr, pt, stored
  printf "towers at one frame per 10 minutes: %.0f (frames/s x 600); fleet of %d towers: headroom %.1f x\n",
    prate * 600, fleet, prate * 600 / fleet
  if (pcpu > 0)
    printf "server CPU alone (hosts elsewhere, %d cores busy with the server): %.0f towers\n",
      cores, cores / (pcpu / 1000) * 600
}'
exit "$failed"

#!/usr/bin/env bash
# A host writing through a failover: a primary on 127.0.0.1 and its hot standby on
# 127.0.0.2 (one port), a host directory whose data source names both, frames
# simulated at 3000 times the speed; the primary stops, the standby is promoted, and
# the host goes on writing to it by itself. Prints what reached the new primary beside
# what the station files hold.
#   scripts/ha-demo.sh [BUILD_DIR] [PORT]     (defaults: build, 55790)
# The promotion here is pg_ctl promote after the primary is gone; in production a
# pg_auto_failover monitor (Debian: postgresql-15-auto-failover) makes that decision.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
port=${2:-55790}
host_program=$build/bin/vkthost
plugin=$build/lib/libVKTEXTDB_WINDPOWER.so
cluster=$top/scripts/pg-cluster.sh
[ -x "$host_program" ] || { echo "ha-demo.sh: no $host_program (scripts/build.sh first)" >&2; exit 2; }
work=$(mktemp -d /tmp/vkt-ha-demo-XXXXXX)
chmod 755 "$work"  # the servers run as postgres
mkdir "$work/primary" "$work/standby"
host_pid=
cleanup() {
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  PG_ADDRESS=127.0.0.2 bash "$cluster" stop "$work/standby" "$port" >/dev/null 2>&1 || true
  PG_ADDRESS=127.0.0.1 bash "$cluster" stop "$work/primary" "$port" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
q() {  # q ADDRESS SQL: one value from the server on ADDRESS
  psql -h "$1" -p "$port" -U fd -d windpower -At -c "$2" 2>/dev/null || echo "-"
}
say() { echo "== $(date +%T) $*"; }

say "primary on 127.0.0.1:$port, hot standby on 127.0.0.2:$port"
PG_ADDRESS=127.0.0.1 bash "$cluster" init "$work/primary" "$port"
PG_ADDRESS=127.0.0.2 bash "$cluster" standby "$work/standby" "$port" "$work/primary" 127.0.0.1
"$host_program" init "$work/host" --demo --backend postgresql --pg-host 127.0.0.2,127.0.0.1 \
  --pg-port "$port" --pg-database windpower >/dev/null
printf '[DATABASE]\nSOURCENAME=DAVAD\n' >"$work/host/WPDB.ini"
say "data source: $(grep -E '^(Servername|Port)=' "$work/host/odbc/odbc.ini" | tr '\n' ' ')"

"$host_program" run "$work/host" --simulate live:3000 --now "2009-03-10 00:00:00" \
  --drain 60 --status 2 --plugin "$plugin" >"$work/run.txt" 2>&1 &
host_pid=$!
until [ "$(q 127.0.0.1 'SELECT COUNT(*) FROM fd_run_rttower')" -ge 100 ] 2>/dev/null; do sleep 0.2; done
say "primary holds $(q 127.0.0.1 'SELECT COUNT(*) FROM fd_run_rttower') rows; stopping it"
PG_ADDRESS=127.0.0.1 bash "$cluster" stop "$work/primary" "$port"
sleep 3
say "standby (read-only): $(q 127.0.0.2 'SELECT COUNT(*) FROM fd_run_rttower') rows; promoting it"
PG_ADDRESS=127.0.0.2 bash "$cluster" promote "$work/standby" "$port"
before=$(q 127.0.0.2 'SELECT COUNT(*) FROM fd_run_rttower')
until [ "$(q 127.0.0.2 'SELECT COUNT(*) FROM fd_run_rttower')" -ge $((before + 100)) ]; do sleep 0.2; done
say "new primary takes rows; stopping the host"
kill -TERM "$host_pid"
status=0
wait "$host_pid" || status=$?
host_pid=
say "host exit code $status; its error log:"
sed 's/^/   /' "$work/host/VKTError.log"

stations=0
for f in "$work"/host/WPData/WP_*.MDB; do
  stations=$((stations + $(sqlite3 "$f" 'SELECT COUNT(*) FROM RTTOWER' 2>/dev/null || echo 0)))
done
say "what reached the new primary (127.0.0.2):"
psql -h 127.0.0.2 -p "$port" -U fd -d windpower -c \
  "SELECT towerid, COUNT(*) AS rows, MIN(time) AS first, MAX(time) AS last FROM fd_run_rttower GROUP BY towerid ORDER BY towerid"
echo "station files: $stations ten-minute rows; new primary: $(q 127.0.0.2 'SELECT COUNT(*) FROM fd_run_rttower'), $(q 127.0.0.2 'SELECT COUNT(DISTINCT (towerid, time)) FROM fd_run_rttower') distinct keys; in recovery: $(q 127.0.0.2 'SELECT pg_is_in_recovery()')"

#!/usr/bin/env bash
# A host writing through a failover: a primary on 127.0.0.1 and its hot standby on
# 127.0.0.2 (one port), a host directory whose data source names both, frames
# simulated at 3000 times the speed; the primary stops, the standby is promoted, and
# the host goes on writing to it by itself. Prints what reached the new primary beside
# what the station files hold.
#   scripts/ha-demo.sh [BUILD_DIR] [PORT]     (defaults: build, 55790)
# The promotion is made by a pg_auto_failover monitor on 127.0.0.3, port PORT+1 (Debian
# package postgresql-MAJOR-auto-failover, installed here when missing and run as root):
# the script only stops the primary's node and waits. The monitor checks the nodes every
# second, gives a silent node up after 5 s and the lost primary 5 s more to stop taking
# writes, so the standby takes writes within about 15 s (the defaults take a minute).
# Where the package cannot be had or the monitor does not come up, the script says so
# and promotes the standby itself (pg_ctl promote) once the primary is gone; so it does
# with HA_DEMO_MONITOR=no.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
port=${2:-55790}
host_program=$build/bin/vkthost
plugin=$build/lib/libVKTEXTDB_WINDPOWER.so
cluster=$top/scripts/pg-cluster.sh
[ -x "$host_program" ] || { echo "ha-demo.sh: no $host_program (scripts/build.sh first)" >&2; exit 2; }
[[ $port =~ ^[0-9]{1,5}$ ]] && [ "$port" -lt 65535 ] ||
  { echo "ha-demo.sh: the port must be a number below 65535: $port" >&2; exit 2; }
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
major=$(basename "$(dirname "$bin")")
monitor_port=$((port + 1))
monitor_uri="postgres://autoctl_node@127.0.0.3:$monitor_port/pg_auto_failover?sslmode=disable"
work=$(mktemp -d /tmp/vkt-ha-demo-XXXXXX)
chmod 755 "$work"  # the servers run as postgres
mkdir "$work/primary" "$work/standby"
host_pid=
mode=pg_ctl      # who promotes the standby: pg_ctl (this script) or monitor
paf_nodes=()     # the pg_autoctl nodes started, monitor last
say() { echo "== $(date +%T) $*"; }

# as_owner: the servers and pg_autoctl refuse to run as root.
. "$top/scripts/lib.sh"
# pg_autoctl keeps its configuration, state and pid files under the work folder.
paf_env="XDG_CONFIG_HOME='$work/paf/config' XDG_DATA_HOME='$work/paf/data' XDG_RUNTIME_DIR='$work/paf/run'"
paf() { as_owner "$paf_env pg_autoctl $*"; }
paf_run() {  # paf_run NAME: run the node in $work/NAME/data in the background
  paf_nodes=("$1" "${paf_nodes[@]}")
  as_owner "$paf_env nohup pg_autoctl run --pgdata '$work/$1/data' >'$work/paf/$1.log' 2>&1 &"
}
paf_stop() {  # paf_stop NAME: stop the node's service and its server; true once gone
  local data=$work/$1/data
  paf stop --pgdata "'$data'" --fast >/dev/null 2>&1 || true
  for _ in $(seq 1 100); do
    pgrep -f "pg_autoctl.*run --pgdata $data" >/dev/null || break
    sleep 0.1
  done
  if [ -f "$data/postmaster.pid" ]; then
    as_owner "'$bin/pg_ctl' -D '$data' -m fast -w stop" >/dev/null 2>&1 || true
  fi
  ! pgrep -f "pg_autoctl.*run --pgdata $data" >/dev/null
}
mq() {  # mq SQL: one value from the monitor
  psql -h 127.0.0.3 -p "$monitor_port" -U autoctl_node -d pg_auto_failover -At -c "$1" 2>/dev/null || echo "-"
}
states() { mq "SELECT string_agg(nodename || ':' || reportedstate, ' ' ORDER BY nodeid) FROM pgautofailover.node"; }
wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND succeeds
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.5
  done
}
states_are() { [ "$(states)" = "$1" ]; }
monitor_answers() { [ "$(mq 'SELECT 1')" = 1 ]; }
primary_answers() { [ "$(as_owner "psql -h 127.0.0.1 -p $port -U postgres -d postgres -At -c 'SELECT 1'" 2>/dev/null)" = 1 ]; }

cleanup() {
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  local node
  for node in "${paf_nodes[@]}"; do paf_stop "$node" || echo "ha-demo.sh: pg_autoctl of $node still runs" >&2; done
  PG_ADDRESS=127.0.0.2 bash "$cluster" stop "$work/standby" "$port" >/dev/null 2>&1 || true
  PG_ADDRESS=127.0.0.1 bash "$cluster" stop "$work/primary" "$port" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
q() {  # q ADDRESS SQL: one value from the server on ADDRESS
  psql -h "$1" -p "$port" -U fd -d windpower -At -c "$2" 2>/dev/null || echo "-"
}

# The monitor's package, for the installed server.
have_monitor() { command -v pg_autoctl >/dev/null && [ -f "/usr/share/postgresql/$major/extension/pgautofailover.control" ]; }
monitor_package() {
  [ "${HA_DEMO_MONITOR:-yes}" != no ] || { why="HA_DEMO_MONITOR=no"; return 1; }
  have_monitor && return 0
  [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null ||
    { why="pg_autoctl is not installed (postgresql-$major-auto-failover) and this is not root with apt-get"; return 1; }
  say "installing postgresql-$major-auto-failover" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y "postgresql-$major-auto-failover" >"$work/apt.log" 2>&1 ||
    { why="apt-get install postgresql-$major-auto-failover failed: $(tail -n 1 "$work/apt.log")"; return 1; }
  have_monitor || { why="postgresql-$major-auto-failover installed no pg_autoctl for PostgreSQL $major"; return 1; }
}

# Monitor on 127.0.0.3, primary, then its standby, each node run by pg_autoctl. The
# servers have no Unix socket (two of them share a port); pg_autoctl reaches them over
# TCP. Every step is checked: a failure returns 1 with the reason in $why.
monitor_setup() {
  mkdir -p "$work/monitor" "$work/paf" || return 1
  if [ "$(id -u)" -eq 0 ]; then chown postgres "$work/monitor" "$work/primary" "$work/standby" "$work/paf" || return 1; fi
  local common="--pgctl '$bin/pg_ctl' --skip-pg-hba --no-ssl"
  paf create monitor --pgdata "'$work/monitor/data'" --pgport "$monitor_port" --hostname 127.0.0.3 \
    --listen 127.0.0.3 "$common" >"$work/monitor-create.log" 2>&1 ||
    { why="pg_autoctl create monitor failed: $(tail -n 1 "$work/monitor-create.log")"; return 1; }
  # Nodes reach it from loopback addresses; it checks them every second, takes a node
  # that answers nothing for 5 s as gone, and gives a lost primary 5 s (not 30) to stop
  # taking writes before the promoted standby takes them.
  as_owner "printf '%s\n' 'host all all 127.0.0.0/8 trust' >>'$work/monitor/data/pg_hba.conf' &&
    printf '%s\n' 'pgautofailover.health_check_period = 1000' 'pgautofailover.health_check_timeout = 1000' \
      'pgautofailover.health_check_max_retries = 1' 'pgautofailover.health_check_retry_delay = 500' \
      'pgautofailover.node_considered_unhealthy_timeout = 5000' \
      'pgautofailover.primary_demote_timeout = 5000' >>'$work/monitor/data/postgresql.conf'" ||
    return 1
  paf_run monitor
  wait_for 60 monitor_answers ||
    { why="the monitor does not answer on 127.0.0.3:$monitor_port"; return 1; }

  paf create postgres --pgdata "'$work/primary/data'" --monitor "'$monitor_uri'" --name primary \
    --hostname 127.0.0.1 --listen 127.0.0.1 --pghost 127.0.0.1 --pgport "$port" --dbname windpower \
    "$common" >"$work/primary-create.log" 2>&1 ||
    { why="pg_autoctl create postgres (primary) failed: $(tail -n 1 "$work/primary-create.log")"; return 1; }
  # Clients, the monitor and the standby on any loopback address; the standby copies
  # both files.
  as_owner "printf '%s\n' 'host all all 127.0.0.0/8 trust' 'host replication all 127.0.0.0/8 trust' \
      >>'$work/primary/data/pg_hba.conf' &&
    printf '%s\n' \"unix_socket_directories = ''\" 'fsync = off' >>'$work/primary/data/postgresql.conf'" ||
    return 1
  paf_run primary
  wait_for 60 states_are "primary:single" ||
    { why="the primary does not come up: monitor says '$(states)'"; return 1; }
  wait_for 30 primary_answers ||
    { why="the primary does not answer on 127.0.0.1:$port"; return 1; }
  cp "$top/sql/postgresql/backend.sql" "$work/backend.sql" && chmod a+r "$work/backend.sql" || return 1
  local psql="psql -h 127.0.0.1 -p $port -v ON_ERROR_STOP=1 -q"
  as_owner "$psql -U postgres -d postgres -c \"CREATE ROLE fd LOGIN PASSWORD 'wendol'\" &&
    $psql -U postgres -d postgres -c 'ALTER DATABASE windpower OWNER TO fd' &&
    $psql -U postgres -d windpower -c 'GRANT ALL ON SCHEMA public TO fd' &&
    $psql -U fd -d windpower -f '$work/backend.sql' &&
    $psql -U fd -d windpower -c 'CREATE SCHEMA ext' &&
    $psql -U fd -d windpower -c 'SET search_path TO ext' -f '$work/backend.sql'" >"$work/schema.log" 2>&1 ||
    { why="the backend tables could not be made: $(tail -n 1 "$work/schema.log")"; return 1; }

  paf create postgres --pgdata "'$work/standby/data'" --monitor "'$monitor_uri'" --name standby \
    --hostname 127.0.0.2 --listen 127.0.0.2 --pghost 127.0.0.2 --pgport "$port" --dbname windpower \
    "$common" >"$work/standby-create.log" 2>&1 ||
    { why="pg_autoctl create postgres (standby) failed: $(tail -n 1 "$work/standby-create.log")"; return 1; }
  paf_run standby
  wait_for 120 states_are "primary:primary standby:secondary" ||
    { why="the standby does not follow the primary: monitor says '$(states)'"; return 1; }
}
monitor_teardown() {
  local node
  for node in "${paf_nodes[@]}"; do paf_stop "$node" || { echo "pg_autoctl of $node still runs" >&2; return 1; }; done
  paf_nodes=()
  rm -rf "$work/monitor" "$work/paf" "$work/primary" "$work/standby" && mkdir "$work/primary" "$work/standby"
}

why=
if monitor_package; then
  say "primary on 127.0.0.1:$port, hot standby on 127.0.0.2:$port, pg_auto_failover monitor on 127.0.0.3:$monitor_port"
  if monitor_setup; then
    mode=monitor
    say "monitor: $(states)"
  else
    say "the monitor could not be set up ($why); the script promotes the standby itself"
    monitor_teardown
  fi
else
  say "no pg_auto_failover monitor ($why); the script promotes the standby itself"
fi
if [ "$mode" = pg_ctl ]; then
  say "primary on 127.0.0.1:$port, hot standby on 127.0.0.2:$port"
  PG_ADDRESS=127.0.0.1 bash "$cluster" init "$work/primary" "$port"
  PG_ADDRESS=127.0.0.2 bash "$cluster" standby "$work/standby" "$port" "$work/primary" 127.0.0.1
fi
"$host_program" init "$work/host" --demo --backend postgresql --pg-host 127.0.0.2,127.0.0.1 \
  --pg-port "$port" --pg-database windpower >/dev/null
printf '[DATABASE]\nSOURCENAME=DAVAD\n' >"$work/host/WPDB.ini"
say "data source: $(grep -E '^(Servername|Port)=' "$work/host/odbc/odbc.ini" | tr '\n' ' ')"

"$host_program" run "$work/host" --simulate live:3000 --now "2009-03-10 00:00:00" \
  --drain 60 --status 2 --plugin "$plugin" >"$work/run.txt" 2>&1 &
host_pid=$!
until [ "$(q 127.0.0.1 'SELECT COUNT(*) FROM fd_run_rttower')" -ge 100 ] 2>/dev/null; do sleep 0.2; done
say "primary holds $(q 127.0.0.1 'SELECT COUNT(*) FROM fd_run_rttower') rows; stopping it"
if [ "$mode" = monitor ]; then
  paf_stop primary || { say "the primary's pg_autoctl does not stop"; exit 1; }
  stopped=$SECONDS
  say "standby (read-only): $(q 127.0.0.2 'SELECT COUNT(*) FROM fd_run_rttower') rows; waiting for the monitor to promote it"
  last=
  promoted() {
    local now
    now=$(states)
    [ "$now" = "$last" ] || { say "monitor: $now"; last=$now; }
    [ "$(q 127.0.0.2 'SHOW transaction_read_only')" = off ]
  }
  wait_for 180 promoted || {
    say "the monitor has not promoted the standby after 180 s"
    exit 1
  }
  say "the monitor promoted the standby: it takes writes $((SECONDS - stopped)) s after the primary stopped"
else
  PG_ADDRESS=127.0.0.1 bash "$cluster" stop "$work/primary" "$port"
  sleep 3
  say "standby (read-only): $(q 127.0.0.2 'SELECT COUNT(*) FROM fd_run_rttower') rows; promoting it (pg_ctl promote)"
  PG_ADDRESS=127.0.0.2 bash "$cluster" promote "$work/standby" "$port"
fi
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

#!/usr/bin/env bash
# The plug-in over a slow link: one host and its PostgreSQL backend with vkt-linkproxy
# between them, each direction delayed by every delay given in turn.
#
#   bench/latency.sh [--towers 8] [--outage 1d] [--delays "0 25 50 100"] [--seconds 15]
#                    [--speed 3000] [--fsync on|off] [--port P] [--bin DIR]
#
# For each one-way delay, with a fresh host directory of --towers towers each time:
#  live     `vkthost run --simulate live:SPEED` (every tower a frame every 600/SPEED s);
#           after the first rows and 3 s more, --seconds are measured: the 10-minute
#           rows the backend took a second, and the proxy's turns (a client's send that
#           follows its server's answer: a round trip) per row.
#  outage   the link down (the proxy resets every connection) while `vkthost run
#           --simulate FROM..TO` stores --outage (Nd or Nh) of frames of every tower; once
#           the station files hold them all the link heals; the writer connects again
#           within its retry interval (5 s), and the catch-up is the time from then until
#           the backend holds every row, with the turns per 10-minute row.
# The table goes to standard output as Markdown; what the run does, to standard error.
# A week's outage of 40 towers at 100 ms: --towers 40 --outage 7d --delays 100.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

towers=8 outage=1d delays="0 25 50 100" seconds=15 speed=3000 fsync=on port="" bin="$top/build/bin"
while [ $# -gt 0 ]; do
  case $1 in
    --towers) towers=$2 ;;
    --outage) outage=$2 ;;
    --delays) delays=$2 ;;
    --seconds) seconds=$2 ;;
    --speed) speed=$2 ;;
    --fsync) fsync=$2 ;;
    --port) port=$2 ;;
    --bin) bin=$2 ;;
    *) echo "usage: $0 [--towers N] [--outage Nd|Nh] [--delays \"MS ...\"] [--seconds S]" \
         "[--speed SPEED] [--fsync on|off] [--port P] [--bin DIR]" >&2; exit 2 ;;
  esac
  shift 2
done
case $outage in
  *[0-9]d) hours=$((${outage%d} * 24)) ;;
  *[0-9]h) hours=${outage%h} ;;
  *) echo "--outage is a number of days or hours: 7d, 12h" >&2; exit 2 ;;
esac
for n in "$towers" "$hours" "$seconds" "$speed" $delays; do
  [[ $n =~ ^[0-9]+$ ]] || { echo "not a whole number: $n" >&2; exit 2; }
done
vkthost=$bin/vkthost proxy=$bin/vkt-linkproxy
[ -x "$vkthost" ] && [ -x "$proxy" ] || { echo "no $vkthost or $proxy: build first" >&2; exit 1; }
. "$top/scripts/lib.sh"
[ -n "$port" ] || port=$(free_port 25900 25998) || exit 1

work_with_cluster latency "$port"
host_pid="" proxy_pid=""
before_cleanup() {
  [ -z "$host_pid" ] || kill -s KILL "$host_pid" 2>/dev/null || true
  [ -z "$proxy_pid" ] || kill "$proxy_pid" 2>/dev/null || true
}
say() { echo "latency: $*" >&2; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN {print b - a}'; }
psql_fd() { psql_as fd "$@"; }
rows_in_backend() { psql_fd -c "SELECT count(*) FROM FD_RUN_${1:-RTTOWER}"; }

PG_FSYNC=$fsync bash "$top/scripts/pg-cluster.sh" init "$work/pg" "$port"
"$proxy" --listen 127.0.0.1:0 --target "127.0.0.1:$port" --control 0 >"$work/proxy.out" 2>&1 &
proxy_pid=$!
for _ in $(seq 1 100); do [ -s "$work/proxy.out" ] && break; sleep 0.05; done
read -r _ listen _ _ _ control <"$work/proxy.out" || true
[ -n "${control:-}" ] || { echo "the proxy did not start: $(cat "$work/proxy.out")" >&2; exit 1; }
exec {ctl}<>"/dev/tcp/${control%:*}/${control#*:}"
proxy_says() {
  local reply
  echo "$1" >&"$ctl"
  read -r reply <&"$ctl"
  case $reply in error*) echo "proxy: $1: $reply" >&2; exit 1 ;; esac
  echo "$reply"
}
proxy_stat() { proxy_says stats | sed "s/.* $1=\([0-9]*\).*/\1/"; }

# A host directory against the backend through the proxy, towers 1..T.
make_host() {
  rm -rf "$work/host"
  "$vkthost" init "$work/host" --backend postgresql --pg-host 127.0.0.1 \
    --pg-port "${listen#*:}" --pg-database windpower >/dev/null
  for t in $(seq 1 "$towers"); do
    "$vkthost" rtu add "$work/host" --id "$t" --name "T$t" --type 100 >/dev/null
  done
  psql_fd -c "TRUNCATE FD_RUN_RTTOWER, FD_RUN_TOWERHIS"
}
# Waits until the condition command succeeds, at most LIMIT seconds.
wait_until() {
  local limit=$1 start
  shift
  start=$(now)
  until "$@"; do
    if awk -v e="$(elapsed "$start")" -v l="$limit" 'BEGIN {exit !(e > l)}'; then
      echo "not within $limit s: $*" >&2
      tail -n 20 "$work/run.out" >&2
      exit 1
    fi
    sleep 0.5
  done
}
backend_has() { [ "$(rows_in_backend)" -ge "$1" ]; }
stations_hold() {
  local total=0 file
  for file in "$work"/host/WPData/WP_*.MDB; do
    total=$((total + $(sqlite3 "$file" "SELECT count(*) FROM RTTOWER" 2>/dev/null || echo 0)))
  done
  [ "$total" -ge "$1" ]
}
all_rows() { [ "$(rows_in_backend)" -ge "$1" ] && [ "$(rows_in_backend TOWERHIS)" -ge "$2" ]; }
# A run that ended (with --drain it ends only when everything is stored) while rows are
# missing would leave nothing more to wait for.
everything_in_backend() {
  all_rows "$@" && return 0
  kill -0 "$host_pid" 2>/dev/null && return 1
  all_rows "$@" && return 0
  echo "the host ended with rows missing in the backend:" >&2
  tail -n 20 "$work/run.out" >&2
  exit 1
}

# The outage's span: whole days from 2021-03-01 00:00, every 10-minute mark.
from="2021-03-01 00:00:00"
to=$(date -u -d "@$(($(date -u -d "$from" +%s) + hours * 3600 - 600))" "+%F %T")
expect_rows=$((towers * hours * 6)) expect_hourly=$((towers * hours))
offered=$(awk -v t="$towers" -v s="$speed" 'BEGIN {printf "%.0f", t * s / 600}')

results=()
for delay in $delays; do
  proxy_says "delay $delay" >/dev/null
  say "one-way delay $delay ms: live, $towers towers offering $offered frames/s"
  make_host
  "$vkthost" run "$work/host" --simulate "live:$speed" --now "2021-01-01 00:00" --drain 2 \
    --linger 0 >"$work/run.out" 2>&1 &
  host_pid=$!
  wait_until 60 backend_has 1
  sleep 3
  r0=$(rows_in_backend) n0=$(proxy_stat turns) t0=$(now)
  sleep "$seconds"
  r1=$(rows_in_backend) n1=$(proxy_stat turns) t=$(elapsed "$t0")
  kill -s TERM "$host_pid"
  wait "$host_pid" || true
  host_pid=""
  live_rate=$(awk -v r=$((r1 - r0)) -v t="$t" 'BEGIN {printf "%.1f", r / t}')
  live_turns=$(awk -v n=$((n1 - n0)) -v r=$((r1 - r0)) 'BEGIN {printf "%.2f", r ? n / r : 0}')

  say "one-way delay $delay ms: $outage outage of $towers towers ($expect_rows records)"
  make_host
  proxy_says down >/dev/null
  "$vkthost" run "$work/host" --simulate "$from..$to" --now "$to" --drain 86400 --linger 0 \
    --status 30 >"$work/run.out" 2>&1 &
  host_pid=$!
  start=$(now)
  wait_until 3600 stations_hold "$expect_rows"
  say "station files hold the outage after $(elapsed "$start") s; healing"
  a0=$(proxy_stat accepted) n0=$(proxy_stat turns) t0=$(now)
  proxy_says heal >/dev/null
  # The writer tries the server again on its own clock: the catch-up counts from then.
  for _ in $(seq 1 1200); do [ "$(proxy_stat accepted)" -gt "$a0" ] && break; sleep 0.05; done
  retry=$(elapsed "$t0") t0=$(now)
  wait_until 86400 everything_in_backend "$expect_rows" "$expect_hourly"
  catch_up=$(elapsed "$t0") n1=$(proxy_stat turns)
  status=0
  wait "$host_pid" || status=$?
  host_pid=""
  [ "$status" -eq 0 ] || { say "the outage's run ended with exit code $status"; tail -n 20 "$work/run.out" >&2; }
  results+=("$(awk -v d="$delay" -v T="$towers" -v o="$offered" -v lr="$live_rate" -v lt="$live_turns" \
    -v out="$outage" -v rows=$((expect_rows + expect_hourly)) -v rec="$expect_rows" -v c="$catch_up" \
    -v n=$((n1 - n0)) -v w="$retry" -v st="$status" 'BEGIN {
      printf "| %d | %d | %d | %s | %s | %s | %d | %.1f | %.1f | %.0f | %.2f | %d |", d, T, o, lr,
        lt, out, rows, w, c, rec / c, n / rec, st }')")
done

echo "vkthost through vkt-linkproxy to PostgreSQL (fsync=$fsync, $(nproc) cores, all on one machine)"
echo
echo "| one-way delay ms | towers | live offered frames/s | live rows/s | live turns/record | outage | rows refilled | retry wait s | catch-up s | catch-up records/s | catch-up turns/record | exit code |"
echo "|---:|---:|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|"
printf '%s\n' "${results[@]}"
echo
echo "rows/s: 10-minute rows the backend took a second while frames came live; a record is a"
echo "frame's 10-minute row (with its hourly row at full hours); a turn is one round trip on"
echo "the link. Retry wait: from the heal to the writer's next connection; catch-up: from"
echo "then until the backend held every row of the outage. Exit code: the outage's run."

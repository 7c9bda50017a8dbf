# shellcheck shell=bash
# The helpers the scripts, the benchmarks and the script tests share. Sourced, never
# run:   . "$top/scripts/lib.sh"
# Defines functions only (and the folder it lives in); sets no shell option.

vkt_lib_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# as_owner COMMAND: runs the shell command COMMAND as the user of the throwaway
# PostgreSQL servers: postgres when we are root (initdb, the server and pg_autoctl
# refuse to run as root), else ourselves.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then su postgres -s /bin/bash -c "$*"; else bash -c "$*"; fi
}

# free_port FIRST LAST [STEP]: prints the first port from FIRST to LAST, every STEP
# (default 2), on which nothing answers on 127.0.0.1; fails with a line on standard
# error when every one is taken.
free_port() {
  local p
  for p in $(seq "$1" "${3:-2}" "$2"); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return 0; fi
  done
  echo "no free port in $1-$2" >&2
  return 1
}

# psql_as USER ARGS...: psql as USER into the database windpower of the cluster on
# 127.0.0.1, port $port (the caller's), unaligned and quiet, stopping at the first
# error; ARGS are psql's (-c "SQL", -F ' ', …).
psql_as() {
  local user=$1
  shift
  # shellcheck disable=SC2154 # $port is the caller's
  psql -h 127.0.0.1 -p "$port" -U "$user" -d windpower -X -q -At -v ON_ERROR_STOP=1 "$@"
}

# work_with_cluster NAME PORT: makes $work, a fresh folder /tmp/vkt-NAME-XXXXXX that
# the server can enter (it runs as postgres when we are root), and in it $pgdir, the
# empty folder of a throwaway cluster on PORT, which the caller makes with
# `scripts/pg-cluster.sh init "$pgdir" PORT`. At the script's exit (a trap on EXIT,
# which replaces the script's own) the function before_cleanup runs when the script
# defines one (to end what it started), then the cluster is stopped and $work deleted.
work_with_cluster() {
  work=$(mktemp -d "/tmp/vkt-$1-XXXXXX")
  chmod 755 "$work"
  pgdir=$work/pg
  mkdir "$pgdir"
  vkt_cluster_port=$2
  trap vkt_cleanup_work EXIT
}
vkt_cleanup_work() {
  if declare -F before_cleanup >/dev/null; then before_cleanup; fi
  bash "$vkt_lib_top/scripts/pg-cluster.sh" stop "$pgdir" "$vkt_cluster_port" >/dev/null 2>&1 || true
  rm -rf "$work"
}

# cpu_seconds [--with-ended-children] PID...: the CPU seconds the processes used so
# far; with the option also what their children that ended already used (those the
# processes waited for). A process that is gone counts nothing.
cpu_seconds() {
  local fields='$12 + $13' pid used ticks=0
  if [ "$1" = --with-ended-children ]; then
    fields='$12 + $13 + $14 + $15'
    shift
  fi
  for pid in "$@"; do
    # Fields after the command name: utime stime cutime cstime are the 12th to 15th.
    used=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null | awk "{print $fields}")
    ticks=$((ticks + ${used:-0}))
  done
  awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN {printf "%.2f", t / hz}'
}

# server_cpu CLUSTERDIR: the CPU seconds of the PostgreSQL server that
# scripts/pg-cluster.sh made in CLUSTERDIR: the postmaster and every process it started.
server_cpu() {
  local main
  main=$(head -n 1 "$1/data/postmaster.pid")
  # shellcheck disable=SC2046
  cpu_seconds --with-ended-children "$main" $(pgrep -P "$main")
}

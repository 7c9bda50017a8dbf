#!/usr/bin/env bash
# A throwaway PostgreSQL cluster on a loopback port, for the backend tests.
#   pg-cluster.sh init DIR PORT   make the cluster in the empty folder DIR, start it,
#                                 add role fd (password wendol), database windpower
#                                 with the backend tables in public and in schema ext
#   pg-cluster.sh start DIR PORT  start a made cluster
#   pg-cluster.sh stop DIR PORT   stop it (fast)
#   pg-cluster.sh freeze DIR PORT stop every process of it (SIGSTOP): it keeps its
#                                 connections and answers nothing, as a hung server
#   pg-cluster.sh thaw DIR PORT   let them run on (SIGCONT)
# The server runs with fsync off, as the tests need no durability; PG_FSYNC=on runs it
# as a production server does (the benchmarks, where the cost of a commit matters).
set -euo pipefail
usage() { echo "usage: $0 init|start|stop|freeze|thaw DIR PORT" >&2; exit 2; }
[ $# -eq 3 ] || usage
cmd=$1 dir=$2 port=$3
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)

as_owner() {
  # initdb and the server refuse to run as root.
  if [ "$(id -u)" -eq 0 ]; then su postgres -s /bin/bash -c "$*"; else bash -c "$*"; fi
}

refuse() { echo "pg-cluster.sh: $*" >&2; exit 2; }

fsync=${PG_FSYNC:-off}
case $fsync in on | off) ;; *) refuse "PG_FSYNC must be on or off, not '$fsync'" ;; esac

# init builds only in a folder made for it: whatever else it was given (a mistyped
# path, a home folder, a cluster still in use) must come to no harm.
check_empty_folder() {
  [ -e "$dir" ] || refuse "$dir does not exist: give init an empty folder (mktemp -d)"
  [ -d "$dir" ] || refuse "$dir is not a folder: give init an empty folder"
  [ -f "$dir/data/PG_VERSION" ] &&
    refuse "$dir holds a cluster already (data/PG_VERSION): stop it and remove the folder first"
  [ -r "$dir" ] && [ -x "$dir" ] || refuse "cannot look into $dir"
  [ -z "$(find "$dir" -mindepth 1 -maxdepth 1 -print -quit)" ] ||
    refuse "$dir is not empty: give init an empty folder"
}

start() {
  as_owner "'$bin/pg_ctl' -D '$dir/data' -l '$dir/log' -w -t 60 \
    -o \"-p $port -c listen_addresses=127.0.0.1 -k '$dir' -c fsync=$fsync\" start" >/dev/null
}

case $cmd in
  init)
    check_empty_folder
    dir=$(cd "$dir" && pwd)
    if [ "$(id -u)" -eq 0 ]; then chown postgres "$dir"; fi
    as_owner "'$bin/initdb' -D '$dir/data' -A trust -E UTF8 --locale=C.UTF-8" >/dev/null
    start
    psql() { as_owner "'$bin/psql' -h 127.0.0.1 -p $port -v ON_ERROR_STOP=1 -q $*"; }
    psql "-U postgres -d postgres -c \"CREATE ROLE fd LOGIN PASSWORD 'wendol'\""
    psql "-U postgres -d postgres -c \"CREATE DATABASE windpower OWNER fd\""
    cp "$top/sql/postgresql/backend.sql" "$dir/backend.sql"
    chmod a+r "$dir/backend.sql"
    psql "-U fd -d windpower -f '$dir/backend.sql'"
    psql "-U fd -d windpower -c 'CREATE SCHEMA ext'"
    psql "-U fd -d windpower -c 'SET search_path TO ext' -f '$dir/backend.sql'"
    ;;
  start) start ;;
  stop) as_owner "'$bin/pg_ctl' -D '$dir/data' -m fast -w stop" >/dev/null ;;
  freeze | thaw)
    # The postmaster and its children; the postmaster first, so that it forks no new one.
    main=$(head -n 1 "$dir/data/postmaster.pid")
    signal=$([ "$cmd" = freeze ] && echo STOP || echo CONT)
    kill -s "$signal" "$main"
    for child in $(pgrep -P "$main"); do kill -s "$signal" "$child"; done
    ;;
  *) usage ;;
esac

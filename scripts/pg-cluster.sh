#!/usr/bin/env bash
# A throwaway PostgreSQL cluster on a loopback port, for the backend tests.
#   pg-cluster.sh init DIR PORT   make the cluster, start it, add role fd (password
#                                 wendol), database windpower with the backend tables
#                                 in public and in schema ext
#   pg-cluster.sh start DIR PORT  start a made cluster
#   pg-cluster.sh stop DIR PORT   stop it (fast)
set -euo pipefail
cmd=$1 dir=$2 port=$3
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)

as_owner() {
  # initdb and the server refuse to run as root.
  if [ "$(id -u)" -eq 0 ]; then su postgres -s /bin/bash -c "$*"; else bash -c "$*"; fi
}

start() {
  as_owner "'$bin/pg_ctl' -D '$dir/data' -l '$dir/log' -w -t 60 \
    -o \"-p $port -c listen_addresses=127.0.0.1 -k '$dir' -c fsync=off\" start" >/dev/null
}

case $cmd in
  init)
    rm -rf "$dir"
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres "$dir"
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
  *) echo "usage: $0 init|start|stop DIR PORT" >&2; exit 2 ;;
esac

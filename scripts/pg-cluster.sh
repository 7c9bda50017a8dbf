#!/usr/bin/env bash
# A throwaway PostgreSQL cluster on a loopback address and port, for the backend tests.
# It listens on PG_ADDRESS (default 127.0.0.1): two clusters can share a port on two
# addresses (127.0.0.1 and 127.0.0.2), as a primary and its standby behind one data
# source with a host list.
#   pg-cluster.sh init DIR PORT   make the cluster in the empty folder DIR, start it,
#                                 add role fd (password wendol), database windpower
#                                 with the backend tables in public and in schema ext;
#                                 it streams its changes to standbys from 127.0.0.0/8
#   pg-cluster.sh standby DIR PORT PRIMARYDIR PRIMARYADDRESS
#                                 make a hot standby of the running cluster in
#                                 PRIMARYDIR (listening on PRIMARYADDRESS:PORT) in the
#                                 empty folder DIR (pg_basebackup -R) and start it; it
#                                 answers queries and refuses writes until promoted. It
#                                 is synchronous: the primary's commits return once the
#                                 standby has them (synchronous_standby_names '*',
#                                 synchronous_commit on), so a promotion loses no
#                                 committed row; PG_SYNC=off makes an asynchronous one
#   pg-cluster.sh promote DIR PORT  make the standby in DIR a primary; returns once it
#                                 takes writes
#   pg-cluster.sh start DIR PORT  start a made cluster (on the address it was made for,
#                                 unless PG_ADDRESS says another)
#   pg-cluster.sh stop DIR PORT   stop it (fast)
#   pg-cluster.sh freeze DIR PORT stop every process of it (SIGSTOP): it keeps its
#                                 connections and answers nothing, as a hung server
#   pg-cluster.sh thaw DIR PORT   let them run on (SIGCONT)
#   pg-cluster.sh tls DIR PORT [clientcert]
#                                 turn TLS on in the running cluster made in DIR: a CA
#                                 of its own (DIR/ca.crt, for clients; its key
#                                 DIR/ca.key), a server certificate it signed for
#                                 127.0.0.1, localhost and the cluster's address
#                                 (verify-full holds), and a client certificate for the
#                                 role fd (DIR/client.crt, DIR/client.key, mode 0600).
#                                 TCP connections of fd must use TLS from then on (a
#                                 client without is refused); with clientcert they must
#                                 show a certificate the CA signed too. Other roles, and
#                                 connections over the socket in DIR, are as before
# The server runs with fsync off, as the tests need no durability; PG_FSYNC=on runs it
# as a production server does (the benchmarks, where the cost of a commit matters).
set -euo pipefail
usage() {
  echo "usage: $0 init|start|stop|freeze|thaw|promote DIR PORT" >&2
  echo "       $0 standby DIR PORT PRIMARYDIR PRIMARYADDRESS" >&2
  echo "       $0 tls DIR PORT [clientcert]" >&2
  exit 2
}
[ $# -ge 3 ] || usage
cmd=$1 dir=$2 port=$3
case $cmd in
  standby) [ $# -eq 5 ] || usage ;;
  tls) [ $# -eq 3 ] || { [ $# -eq 4 ] && [ "$4" = clientcert ]; } || usage ;;
  *) [ $# -eq 3 ] || usage ;;
esac
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)

refuse() { echo "pg-cluster.sh: $*" >&2; exit 2; }

# Whatever is pasted into a command line or a configuration file below is checked.
[[ $port =~ ^[0-9]{1,5}$ ]] || refuse "the port must be a number: $port"
address_ok() { [[ $1 =~ ^[0-9A-Za-z.:-]+$ ]]; }
[ -z "${PG_ADDRESS:-}" ] || address_ok "$PG_ADDRESS" ||
  refuse "PG_ADDRESS must be one host address: $PG_ADDRESS"

fsync=${PG_FSYNC:-off}
case $fsync in on | off) ;; *) refuse "PG_FSYNC must be on or off, not '$fsync'" ;; esac
sync=${PG_SYNC:-on}
case $sync in on | off) ;; *) refuse "PG_SYNC must be on or off, not '$sync'" ;; esac

# as_owner: initdb and the server refuse to run as root.
. "$top/scripts/lib.sh"

# init builds only in a folder made for it: whatever else it was given (a mistyped
# path, a home folder, a cluster still in use) must come to no harm.
check_empty_folder() {
  [ -e "$dir" ] || refuse "$dir does not exist: give $cmd an empty folder (mktemp -d)"
  [ -d "$dir" ] || refuse "$dir is not a folder: give $cmd an empty folder"
  [ -f "$dir/data/PG_VERSION" ] &&
    refuse "$dir holds a cluster already (data/PG_VERSION): stop it and remove the folder first"
  [ -r "$dir" ] && [ -x "$dir" ] || refuse "cannot look into $dir"
  [ -z "$(find "$dir" -mindepth 1 -maxdepth 1 -print -quit)" ] ||
    refuse "$dir is not empty: give $cmd an empty folder"
}

# The address the cluster listens on: PG_ADDRESS, else the one it was made for (kept
# in DIR/address), else 127.0.0.1.
address() {
  if [ -n "${PG_ADDRESS:-}" ]; then
    echo "$PG_ADDRESS"
  elif [ -f "$dir/address" ] && address_ok "$(cat "$dir/address")"; then
    cat "$dir/address"
  else
    echo 127.0.0.1
  fi
}

start() {
  as_owner "'$bin/pg_ctl' -D '$dir/data' -l '$dir/log' -w -t 60 \
    -o \"-p $port -c listen_addresses=$(address) -k '$dir' -c fsync=$fsync\" start" >/dev/null
}

psql_at() {  # psql_at ADDRESS ARGS...: psql against the cluster on ADDRESS:PORT
  local host=$1
  shift
  as_owner "'$bin/psql' -h $host -p $port -v ON_ERROR_STOP=1 -q $*"
}

case $cmd in
  init)
    check_empty_folder
    dir=$(cd "$dir" && pwd)
    if [ "$(id -u)" -eq 0 ]; then chown postgres "$dir"; fi
    as_owner "'$bin/initdb' -D '$dir/data' -A trust -E UTF8 --locale=C.UTF-8" >/dev/null
    # Clients and standbys on any loopback address (a connection to 127.0.0.2 comes
    # from 127.0.0.2); enough WAL kept for a standby made while rows are written.
    as_owner "printf '%s\n' 'host all all 127.0.0.0/8 trust' \
      'host replication all 127.0.0.0/8 trust' >>'$dir/data/pg_hba.conf'"
    as_owner "printf '%s\n' 'wal_level = replica' 'max_wal_senders = 10' 'hot_standby = on' \
      'wal_keep_size = 256MB' >>'$dir/data/postgresql.conf'"
    address >"$dir/address"
    start
    psql() { psql_at "$(address)" "$@"; }
    psql "-U postgres -d postgres -c \"CREATE ROLE fd LOGIN PASSWORD 'wendol'\""
    psql "-U postgres -d postgres -c \"CREATE DATABASE windpower OWNER fd\""
    cp "$top/sql/postgresql/backend.sql" "$dir/backend.sql"
    chmod a+r "$dir/backend.sql"
    psql "-U fd -d windpower -f '$dir/backend.sql'"
    psql "-U fd -d windpower -c 'CREATE SCHEMA ext'"
    psql "-U fd -d windpower -c 'SET search_path TO ext' -f '$dir/backend.sql'"
    ;;
  standby)
    primary=$4 primary_address=$5
    address_ok "$primary_address" || refuse "the primary's address must be one host address: $primary_address"
    [ -f "$primary/data/PG_VERSION" ] || refuse "$primary holds no cluster (data/PG_VERSION)"
    [ -f "$primary/data/postmaster.pid" ] || refuse "the cluster in $primary is not running"
    [ -n "${PG_ADDRESS:-}" ] || refuse "standby needs PG_ADDRESS, its own address"
    check_empty_folder
    dir=$(cd "$dir" && pwd)
    if [ "$(id -u)" -eq 0 ]; then chown postgres "$dir"; fi
    # -R writes standby.signal and the primary's address into postgresql.auto.conf.
    as_owner "'$bin/pg_basebackup' -h $primary_address -p $port -U postgres -D '$dir/data' \
      -R -X stream -c fast"
    address >"$dir/address"
    start
    if [ "$sync" = on ]; then
      # Set on the primary after the copy: the standby, once promoted, waits for none.
      psql_at "$primary_address" "-U postgres -d postgres \
        -c \"ALTER SYSTEM SET synchronous_standby_names = '*'\" \
        -c 'ALTER SYSTEM SET synchronous_commit = on' -c 'SELECT pg_reload_conf()'" >/dev/null
    fi
    ;;
  promote)
    as_owner "'$bin/pg_ctl' -D '$dir/data' -w -t 60 promote" >/dev/null
    # pg_ctl returns once recovery has ended; the first write is the proof.
    for _ in $(seq 1 600); do
      [ "$(psql_at "$(address)" "-U postgres -d postgres -At -c 'SELECT pg_is_in_recovery()'")" = f ] &&
        exit 0
      sleep 0.1
    done
    refuse "the cluster in $dir still replays after 60 s"
    ;;
  tls)
    [ -f "$dir/data/postmaster.pid" ] || refuse "the cluster in $dir is not running"
    [ ! -e "$dir/ca.crt" ] || refuse "$dir has TLS already ($dir/ca.crt)"
    dir=$(cd "$dir" && pwd)
    [[ $dir =~ ^[0-9A-Za-z/._-]+$ ]] ||
      refuse "tls writes the path of $dir into the server's configuration: give a folder of letters, digits and / . _ -"
    here=$(address)
    names="IP:127.0.0.1,DNS:localhost"
    [ "$here" = 127.0.0.1 ] || names="$names,IP:$here"
    # Made by the caller, who reads the client's files; the server's key is the
    # server's alone (it refuses a key others may read).
    (
      umask 077
      cd "$dir"
      openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=vkt test CA $port" \
        -keyout ca.key -out ca.crt
      openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout server.key -out server.csr
      printf 'subjectAltName = %s\n' "$names" >server.ext
      openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 3650 \
        -extfile server.ext -out server.crt
      openssl req -newkey rsa:2048 -nodes -subj /CN=fd -keyout client.key -out client.csr
      openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 3650 \
        -out client.crt
      rm -f server.csr client.csr server.ext
      chmod 644 ca.crt server.crt client.crt
    ) 2>/dev/null || refuse "openssl could not make the certificates in $dir"
    if [ "$(id -u)" -eq 0 ]; then chown postgres "$dir/server.key"; fi
    as_owner "printf '%s\n' 'ssl = on' \"ssl_cert_file = '$dir/server.crt'\" \
      \"ssl_key_file = '$dir/server.key'\" \"ssl_ca_file = '$dir/ca.crt'\" \
      >>'$dir/data/postgresql.conf'"
    # The first line that matches decides, and initdb's own lines let any role in
    # without TLS: these go before them.
    client=$([ $# -eq 4 ] && echo ' clientcert=verify-ca' || true)
    as_owner "{ printf '%s\n' 'hostssl all fd 127.0.0.0/8 trust$client' 'hostnossl all fd all reject'; \
      cat '$dir/data/pg_hba.conf'; } >'$dir/data/pg_hba.new' &&
      mv '$dir/data/pg_hba.new' '$dir/data/pg_hba.conf'"
    as_owner "'$bin/pg_ctl' -D '$dir/data' -w reload" >/dev/null
    # A reload is taken in a moment, not at once: done once a new session has TLS on.
    for _ in $(seq 1 100); do
      [ "$(psql_at "$here" "-U postgres -d postgres -At -c 'SHOW ssl'")" = on ] && exit 0
      sleep 0.1
    done
    refuse "the cluster in $dir did not take ssl = on (see $dir/log)"
    ;;
  start) start ;;
  stop) as_owner "'$bin/pg_ctl' -D '$dir/data' -m fast -w stop" >/dev/null ;;
  freeze | thaw)
    # The postmaster and its children; the postmaster first, so that it forks no new one.
    main=$(head -n 1 "$dir/data/postmaster.pid")
    signal=$([ "$cmd" = freeze ] && echo STOP || echo CONT)
    kill -s "$signal" "$main"
    # A child that ended since it was listed needs no signal.
    for child in $(pgrep -P "$main"); do kill -s "$signal" "$child" 2>/dev/null || true; done
    ;;
  *) usage ;;
esac

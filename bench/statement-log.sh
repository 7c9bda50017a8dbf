#!/usr/bin/env bash
# bench/statement-log.sh [--bin DIR] OUT: every distinct statement text the plug-in
# sends to PostgreSQL in a replay, an export and a refill, from the server's statement
# log, one a line, sorted, into OUT. Two builds' files compare byte for byte: what a
# change of the code did to the texts on the wire.
#   replay   `vkthost run --simulate` of six hours of the demo towers
#   export   `vkthost export` of that day into the emptied backend
#   refill   `vkthost refill` of six more hours run while the backend was away
# A call of several statements (joined with ';') counts as its statements, and the
# transaction statements are left out: how many go in one call or one transaction
# depends on the moment, their texts do not.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$top/build/bin
[ "${1:-}" = --bin ] && { bin=$2; shift 2; }
[ $# -eq 1 ] || { echo "usage: $0 [--bin DIR] OUT" >&2; exit 2; }
out=$(realpath -m "$1")
. "$top/scripts/lib.sh"
port=$(free_port 26500 26600)
work_with_cluster statements "$port"
bash "$top/scripts/pg-cluster.sh" init "$pgdir" "$port" >/dev/null
psql_as postgres -c "ALTER SYSTEM SET log_statement = 'all'" \
  -c "ALTER SYSTEM SET log_line_prefix = '%a|'" -c "SELECT pg_reload_conf()" >/dev/null

host=$work/host
"$bin/vkthost" init "$host" --demo --backend postgresql --pg-host 127.0.0.1 --pg-port "$port" \
  --pg-database windpower >/dev/null
empty_backend() { psql_as fd -c "TRUNCATE FD_RUN_RTTOWER, FD_RUN_TOWERHIS"; }
"$bin/vkthost" run "$host" --simulate "2009-03-12 00:00:00..2009-03-12 06:00:00" \
  --now "2009-03-12 06:00" --linger 0 >"$work/run.out" 2>&1
empty_backend
"$bin/vkthost" export "$host" --stations all --from "2009-03-12 00:00" \
  --to "2009-03-13 00:00" >"$work/export.out" 2>&1
# Six more hours while the backend is away go to the station files only; the refill
# copies them once it is back.
"$bin/vkthost" settings "$host" DATABASE.SOURCENAME=NO_SUCH_SOURCE >/dev/null
"$bin/vkthost" run "$host" --simulate "2009-03-12 06:00:00..2009-03-12 12:00:00" \
  --now "2009-03-12 12:00" --linger 0 >"$work/away.out" 2>&1 || true
"$bin/vkthost" settings "$host" DATABASE.SOURCENAME=DAVAD >/dev/null
"$bin/vkthost" refill "$host" --drain 60 >"$work/refill.out" 2>&1

# The plug-in's lines (psql names itself), statements split at the ';' between them.
awk -F'|' '$1 != "psql" && /\|LOG:  statement: / { sub(/^[^|]*\|LOG:  statement: /, ""); print }' \
  "$pgdir/log" | tr ';' '\n' | sed 's/^ *//' |
  grep -Ev '^(BEGIN|COMMIT|ROLLBACK|SAVEPOINT|RELEASE)( |$)|^$' | LC_ALL=C sort -u >"$out"
for step in run export refill; do echo "$step: $(tail -n 4 "$work/$step.out" | tr '\n' ' ')"; done
echo "$(wc -l <"$out") distinct statements in $out"

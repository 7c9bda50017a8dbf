#!/usr/bin/env bash
# The fleet benchmark's row check against the test cluster (VKT_PG_PORT): two hosts
# store two simulated hours; the check passes, and fails for each fault the backend
# may hold afterwards (a row missing, a value changed, a row no station file has).
#   fleet_check_test.sh BIN_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/scripts/lib.sh"
bin=$1
port=${VKT_PG_PORT:-}
if [ -z "$port" ]; then
  [ "${CI:-}" = true ] && { echo "CI must run the PostgreSQL tests: VKT_PG_PORT is not set"; exit 1; }
  echo "skipped: VKT_PG_PORT is not set"
  exit 77
fi
work=$(mktemp -d /tmp/vkt-fleet-test-XXXXXX)
towers="970001,970002,970101"
sql() { psql_as fd -c "$1"; }
forget() {
  sql "DELETE FROM FD_RUN_RTTOWER WHERE TOWERID IN ($towers)"
  sql "DELETE FROM FD_RUN_TOWERHIS WHERE TOWERID IN ($towers)"
}
trap 'forget || true; sql "DROP TABLE IF EXISTS fleet_keep_r, fleet_keep_h" || true; rm -rf "$work"' EXIT
forget

ids=("970001 970002" "970101")
for h in 0 1; do
  dir=$work/host$h
  "$bin/vkthost" init "$dir" --backend postgresql --pg-host 127.0.0.1 --pg-port "$port" \
    --pg-database windpower >/dev/null
  for id in ${ids[$h]}; do "$bin/vkthost" rtu add "$dir" --id "$id" --name "T$id" --type 100 >/dev/null; done
  "$bin/vkthost" run "$dir" --simulate "2021-03-01 00:00:00..2021-03-01 02:00:00" --linger 0 >/dev/null
done
check() { bash "$top/bench/fleet.sh" check "$port" "$work/host0" "$work/host1" >/dev/null 2>&1; }

failures=0
check || { echo "FAIL: the check refused what the hosts wrote"; failures=$((failures + 1)); }
sql "CREATE TABLE fleet_keep_r AS SELECT * FROM FD_RUN_RTTOWER WHERE TOWERID IN ($towers)"
sql "CREATE TABLE fleet_keep_h AS SELECT * FROM FD_RUN_TOWERHIS WHERE TOWERID IN ($towers)"

# fault | what makes it in the backend
while IFS='|' read -r fault statement; do
  sql "$statement"
  if check; then
    echo "FAIL: the check passed with $fault"
    failures=$((failures + 1))
  fi
  forget
  sql "INSERT INTO FD_RUN_RTTOWER SELECT * FROM fleet_keep_r"
  sql "INSERT INTO FD_RUN_TOWERHIS SELECT * FROM fleet_keep_h"
done <<'CASES'
a 10-minute row of the second host missing|DELETE FROM FD_RUN_RTTOWER WHERE TOWERID = 970101 AND TIME = '2021-03-01 01:10:00'
an hourly row missing|DELETE FROM FD_RUN_TOWERHIS WHERE TOWERID = 970002 AND TIME = '2021-03-01 02:00:00'
a 10-minute value changed|UPDATE FD_RUN_RTTOWER SET V1AVGSP = V1AVGSP + 0.01 WHERE TOWERID = 970001 AND TIME = '2021-03-01 00:30:00'
another column of a 10-minute row changed|UPDATE FD_RUN_RTTOWER SET V1AVGDIR = COALESCE(V1AVGDIR, 0) + 1 WHERE TOWERID = 970002 AND TIME = '2021-03-01 00:40:00'
an hourly value changed|UPDATE FD_RUN_TOWERHIS SET V1AVGSP = NULL WHERE TOWERID = 970101 AND TIME = '2021-03-01 01:00:00'
a row no station file has|INSERT INTO FD_RUN_RTTOWER(TOWERID,TIME,V1AVGSP) VALUES(970002, '2021-03-02 00:00:00', 5)
CASES

check || { echo "FAIL: the check refused the rows put back"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] && echo "the fleet check found every fault and passed the rows as written"
exit "$((failures > 0))"

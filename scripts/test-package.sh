#!/usr/bin/env bash
# The Debian package, tried on this machine as an administrator would: built
# (scripts/package.sh), installed with what it depends on, the installed host run from
# PATH on a demo directory (its plug-in and ODBC setup library found without options)
# and on the service's own directory as the service's user, the unit checked, the
# package installed again, removed and purged. Whatever the package made is taken away
# again: the machine is left as it was. Needs root; refuses a machine that has vkthost
# installed or a host directory in the service's place.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
service_dir=/var/lib/vkthost
unit=/lib/systemd/system/vkthost.service

fail() {
  echo "test-package.sh: $*" >&2
  exit 1
}
[ "$(id -u)" -eq 0 ] || fail "installing a package needs root"

# Each run installs and removes the same package: one at a time on a machine.
exec 9>/tmp/vkthost-package-test.lock
flock 9

package_state() { dpkg-query -W -f='${db:Status-Abbrev}' vkthost 2>/dev/null | tr -d ' ' || true; }
state=$(package_state)
if [ -n "$state" ] && [ "$state" != un ]; then
  fail "vkthost is on this machine already (dpkg state $state); this test installs and purges it" \
    "(apt-get purge vkthost first)"
fi
[ -e "$service_dir" ] && fail "$service_dir exists: it may hold a host's data; move it away first"
user_existed=$(getent passwd vkthost || true)

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 -y -qq "$@" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; fail "apt-get $* failed"; }
}

work=$(mktemp -d /tmp/vkt-package-XXXXXX)
cleanup() {
  if [ "$(package_state)" != "" ] && [ "$(package_state)" != un ]; then
    apt-get -o DPkg::Lock::Timeout=300 -y -qq purge vkthost >/dev/null 2>&1 || dpkg --purge vkthost >/dev/null 2>&1 || true
  fi
  if [ -z "$user_existed" ] && getent passwd vkthost >/dev/null; then
    userdel vkthost >/dev/null 2>&1 || true
  fi
  if [ -z "$user_existed" ] && getent group vkthost >/dev/null; then
    groupdel vkthost >/dev/null 2>&1 || true
  fi
  rm -rf "$service_dir" "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== the package"
# VKT_PACKAGE_BUILT: a tree the test command built already under /usr, packaged as it is.
if [ -n "${VKT_PACKAGE_BUILT:-}" ]; then
  deb=$(bash "$top/scripts/package.sh" --built "$VKT_PACKAGE_BUILT" | tail -n 1)
else
  deb=$(bash "$top/scripts/package.sh" "$top/build-pkg" | tail -n 1)
fi
echo "$deb"
dpkg-deb -f "$deb" Depends
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for expected in ./usr/bin/vkthost ./usr/lib/vkthost/libVKTEXTDB_WINDPOWER.so \
  ./usr/lib/vkthost/libvktbase.so ./usr/lib/vkthost/libvktodbcsetup.so \
  ./usr/share/vkthost/sql/sqlite/backend.sql ./usr/share/vkthost/sql/postgresql/backend.sql \
  ."$unit"; do
  grep -qx -- "$expected" <<<"$files" || fail "the package lacks $expected"
done
if grep -E '_test$|_bench$|gtest' <<<"$files"; then fail "the package holds tests or benchmarks"; fi

echo "== installed"
apt_get install "$deb"
[ "$(command -v vkthost)" = /usr/bin/vkthost ] || fail "vkthost on PATH is $(command -v vkthost)"
for binary in /usr/bin/vkthost /usr/lib/vkthost/*.so; do
  if ldd "$binary" | grep 'not found'; then fail "$binary misses libraries"; fi
done
getent passwd vkthost >/dev/null || fail "no user vkthost"
[ "$(stat -c %U "$service_dir")" = vkthost ] || fail "$service_dir is not owned by vkthost"
for made in VKTCOMM.MDB odbc/odbcinst.ini frames.jsonl; do
  [ "$(stat -c %U "$service_dir/$made" 2>/dev/null)" = vkthost ] ||
    fail "$service_dir/$made is missing or not owned by vkthost"
done

# From elsewhere, without the build's variables: the installed host finds its own files.
cd "$work"
unset VKT_PLUGIN VKT_ODBC_SETUP
now="2009-03-12 15:00:00"

echo "== a demo host directory"
vkthost init "$work/demo" --demo
grep -qx "Setup=/usr/lib/vkthost/libvktodbcsetup.so" "$work/demo/odbc/odbcinst.ini" ||
  fail "odbcinst.ini does not name the installed setup library: $(cat "$work/demo/odbc/odbcinst.ini")"
vkthost run "$work/demo" --simulate last:2h --now "$now" --linger 0 >"$work/run.txt" 2>&1 ||
  { rc=$?; cat "$work/run.txt"; fail "vkthost run ended with $rc"; }
grep -q "^plug-in: " "$work/run.txt" || { cat "$work/run.txt"; fail "no plug-in loaded"; }
# Four towers, 13:00 to 15:00 every ten minutes.
grep -qx "frames accepted: 52" "$work/run.txt" || { cat "$work/run.txt"; fail "not 52 frames accepted"; }
vkthost report "$work/demo" >"$work/report.txt"
grep -qx "  FD_RUN_RTTOWER: 52 rows" "$work/report.txt" ||
  { cat "$work/report.txt"; fail "the report does not show the 52 rows"; }

echo "== the service's host directory, as its user"
as_service_user() { (cd / && runuser -u vkthost -- "$@"); }
as_service_user vkthost rtu add "$service_dir" --id 1 --name T1 --type 100
as_service_user vkthost run "$service_dir" --simulate last:30m --now "$now" --linger 0 \
  >"$work/service-run.txt" 2>&1 ||
  { cat "$work/service-run.txt"; fail "the service's user cannot run its host directory"; }
grep -qx "frames accepted: 4" "$work/service-run.txt" ||
  { cat "$work/service-run.txt"; fail "not 4 frames accepted"; }

echo "== an administrator's command as root, then the service's command as vkthost"
# Root's own command in the service's directory would leave files the service cannot
# write: it is refused before it makes one.
vkthost export "$service_dir" --stations all --from "2009-03-12 13:00" --to "2009-03-12 15:00" \
  >"$work/root.txt" 2>&1 && { cat "$work/root.txt"; fail "root's export ran in $service_dir"; }
grep -q "runuser -u vkthost -- vkthost" "$work/root.txt" ||
  { cat "$work/root.txt"; fail "root's command is not told to run as vkthost"; }
[ -z "$(find "$service_dir" -user root)" ] || fail "root's refused command left files: $(find "$service_dir" -user root)"
# A station file restored by root's cp: the service names it and its owner and stops.
cp "$service_dir/WPData/WP_1.MDB" "$work/WP_1.MDB"
rm "$service_dir/WPData/WP_1.MDB"
cp "$work/WP_1.MDB" "$service_dir/WPData/WP_1.MDB"
as_service_user vkthost run "$service_dir" --simulate last:30m --now "$now" --linger 0 \
  >"$work/service-root.txt" 2>&1 && { cat "$work/service-root.txt"; fail "the service ran on root's file"; }
grep -q "$service_dir/WPData/WP_1.MDB (owner root).*chown -R vkthost: $service_dir" "$work/service-root.txt" ||
  { cat "$work/service-root.txt"; fail "the service's refusal does not name root's file and the fix"; }
chown -R vkthost: "$service_dir"
as_service_user vkthost run "$service_dir" --simulate last:30m --now "$now" --linger 0 \
  >"$work/service-run.txt" 2>&1 ||
  { cat "$work/service-run.txt"; fail "the service's directory does not run after chown"; }

echo "== the unit"
systemd-analyze verify "$unit"
grep -q "^Type=notify" "$unit" || fail "the unit is not Type=notify"

echo "== installed again: the service's directory is kept as it is"
before=$(md5sum "$service_dir/VKTCOMM.MDB")
apt_get install --reinstall "$deb"
[ "$(md5sum "$service_dir/VKTCOMM.MDB")" = "$before" ] || fail "reinstalling changed the host catalogue"

echo "== removed, then purged: the program goes, the acquired data stays"
apt_get remove vkthost
for gone in /usr/bin/vkthost /usr/lib/vkthost "$unit"; do
  [ ! -e "$gone" ] || fail "$gone is left after removal"
done
[ -f "$service_dir/WPData/WP_1.MDB" ] || fail "removal took the station data"
apt_get purge vkthost
[ "$(package_state)" = "" ] || [ "$(package_state)" = un ] || fail "vkthost is still known to dpkg: $(package_state)"
[ -f "$service_dir/WPData/WP_1.MDB" ] || fail "purging took the station data"
echo "package test passed"

#!/usr/bin/env bash
# Every test: installs what is missing, builds and runs the suite, then tries the Debian
# package on this machine (installed and removed again), then the whole
# suite again under AddressSanitizer + UndefinedBehaviorSanitizer and the concurrency
# tests under ThreadSanitizer, built by Clang with its thread-safety analysis as errors
# over the plug-in, the base library and the host. Last, the Windows build (mingw-w64,
# i686) runs its
# suite under Wine and its host is compared with the Linux host. Any failure or
# sanitizer report fails the run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
jobs=$(nproc)
# Each build and its suite is a preset of CMakePresets.json: configured and built in its
# folder there, and its tests run with the environment the preset gives them.
build_preset() {
  (cd "$top" && cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j"$jobs")
}
# Most of a suite's time is its tests waiting (for servers, processes, timeouts): twice
# as many at once as there are cores keep the cores busy. $2 overrides it.
test_preset() {
  (cd "$top" && ctest --preset "$1" -j"${2:-$((jobs * 2))}")
}
# Each stage's time, printed when the next begins and at the end: where the time goes.
stage_name="" stage_start=$SECONDS
stage() {
  [ -n "$stage_name" ] && echo "== time: $stage_name $((SECONDS - stage_start)) s"
  stage_name=$1 stage_start=$SECONDS
  [ -n "$1" ] && echo "== $1"
  return 0
}

# A throwaway PostgreSQL cluster on a free loopback port, below the range the kernel
# hands to clients (32768 and up), where a test's own connection could hold it. The
# tests that start clusters of their own find free ports after it themselves.
. "$top/scripts/lib.sh"
export VKT_PG_PORT
VKT_PG_PORT=$(free_port 25432 25630)
export VKT_PG_SCRIPT=$top/scripts/pg-cluster.sh
work_with_cluster pg "$VKT_PG_PORT"
# The crash test freezes this server for a moment (it holds the server's test lock).
# shellcheck disable=SC2154 # $pgdir: made by work_with_cluster
export VKT_PG_DIR=$pgdir
echo "== PostgreSQL on 127.0.0.1:$VKT_PG_PORT"
bash "$VKT_PG_SCRIPT" init "$pgdir" "$VKT_PG_PORT"


stage "plain build"
build_preset default
stage "plain suite"
test_preset default
# What the crash test found: kills per point, frames accepted and found in both stores;
# how many error-log lines the link-fault test's cuts wrote.
grep -h "^crash test\|^link-cut test" "$top/build/Testing/Temporary/LastTest.log" || true

stage "the Debian package: made of the plain build, installed, tried and removed again"
VKT_PACKAGE_BUILT="$top/build" bash "$top/scripts/test-package.sh"

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
build_preset asan
stage "AddressSanitizer + UndefinedBehaviorSanitizer suite"
test_preset asan

stage "ThreadSanitizer (concurrency tests) and Clang's thread-safety analysis (the plug-in, the base library, the host)"
build_preset tsan
# setarch -R: ThreadSanitizer needs the classic address-space layout.
(cd "$top" && setarch "$(uname -m)" -R ctest --preset tsan -j"$jobs")

stage "Windows (i686, mingw-w64) under Wine, and the Windows host beside the Linux one"
build_preset windows
stage "Windows suite under Wine"
export VKT_WINEPREFIX="$top/build-win/wineprefix"
VKT_ODBC_SETUP_DLL="$top/build-win/bin/vktodbcsetup.dll" bash "$top/scripts/wine-prefix.sh" "$VKT_WINEPREFIX"
# One Wine server for the whole suite: with the usual one, which leaves 3 s after its
# last client, a program that starts just then fails ("wine client error … Connection
# reset by peer").
WINEPREFIX="$VKT_WINEPREFIX" wineserver -w
WINEPREFIX="$VKT_WINEPREFIX" wineserver -p </dev/null >/dev/null 2>&1
status=0
# Programs under Wine: as many at once as there are cores.
test_preset windows "$jobs" || status=$?
WINEPREFIX="$VKT_WINEPREFIX" wineserver -k || true
stage ""
exit "$status"

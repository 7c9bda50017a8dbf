#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, headless, with an ODBC folder of its
# own (unixODBC reads ODBCSYSINI from the environment Wine starts with) and the i386
# ODBC drivers. The prefix is made on first use and kept (VKT_WINEPREFIX).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
export WINEPREFIX="${VKT_WINEPREFIX:-${TMPDIR:-/tmp}/vkt-wineprefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" VKT_ODBC_DRIVER_DIR=/usr/lib/i386-linux-gnu/odbc
if [[ -z "${VKT_ODBC_SETUP_DLL:-}" ]]; then
  VKT_ODBC_SETUP_DLL="$(cd "$(dirname "$1")" && pwd)/vktodbcsetup.dll"
  export VKT_ODBC_SETUP_DLL
fi
bash "$here/wine-prefix.sh" "$WINEPREFIX"
if [[ -z "${VKT_KEEP_ODBCSYSINI:-}" ]]; then
  odbc=$(mktemp -d "${TMPDIR:-/tmp}/vkt-wine-odbc-XXXXXX")
  : >"$odbc/odbc.ini"
  printf '[SQLite3]\nDriver=%s/libsqlite3odbc.so\nDontDLClose=1\n' "$VKT_ODBC_DRIVER_DIR" >"$odbc/odbcinst.ini"
  export ODBCSYSINI="$odbc" ODBCINI="$odbc/odbc.ini"
fi
# The program's output goes through files, not pipes: Wine's helper processes
# (services, devices) inherit it and live until Wine's server leaves, so a reader of a
# pipe would wait for them. Windows programs end their lines with CR LF.
out=$(mktemp -d "${TMPDIR:-/tmp}/vkt-wine-out-XXXXXX")
trap 'rm -rf "$out" ${odbc:+"$odbc"}' EXIT
status=0
wine "$@" >"$out/stdout" 2>"$out/stderr" || status=$?
tr -d '\r' <"$out/stdout"
tr -d '\r' <"$out/stderr" >&2
exit "$status"

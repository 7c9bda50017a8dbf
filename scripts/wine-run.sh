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
  trap 'rm -rf "$odbc"' EXIT
  : >"$odbc/odbc.ini"
  printf '[SQLite3]\nDriver=%s/libsqlite3odbc.so\nDontDLClose=1\n' "$VKT_ODBC_DRIVER_DIR" >"$odbc/odbcinst.ini"
  export ODBCSYSINI="$odbc" ODBCINI="$odbc/odbc.ini"
fi
# Windows programs end their printed lines with CR LF.
wine "$@" | tr -d '\r'

#!/usr/bin/env bash
# Makes the Wine prefix PREFIX once, and registers our ODBC setup library there as the
# SQLite3 driver's setup (Wine's installer looks for it in its registry). The setup
# library is the one beside the program about to run ($VKT_ODBC_SETUP_DLL).
set -euo pipefail
prefix="$1"
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [[ ! -f "$prefix/system.reg" ]]; then
  WINEPREFIX="$prefix" wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" wineserver -w # the set-up's own server leaves after 3 s
fi
setup="${VKT_ODBC_SETUP_DLL:-}"
if [[ -n "$setup" && "$(cat "$prefix/vkt-setup" 2>/dev/null)" != "$setup" ]]; then
  dos="Z:$(echo "$setup" | tr / '\\')"
  for value in Setup Driver; do
    WINEPREFIX="$prefix" wine reg add 'HKLM\Software\ODBC\ODBCINST.INI\SQLite3' /v "$value" /d "$dos" /f >/dev/null 2>&1
  done
  echo "$setup" >"$prefix/vkt-setup"
fi

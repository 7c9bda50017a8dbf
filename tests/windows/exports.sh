#!/usr/bin/env bash
# The Windows plug-in exports its seven functions under their plain names and nothing
# else; the ODBC setup library exports ConfigDSN.
# Usage: exports.sh PLUGIN_DLL SETUP_DLL
set -euo pipefail
names() {
  i686-w64-mingw32-objdump -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' '
}
expected="CloseAccess EditProperty GetExtDBInfo OutLocalData SaveRTDB VKTLibExit VKTLibInit "
plugin=$(names "$1")
setup=$(names "$2")
echo "plug-in exports: $plugin"
echo "setup exports: $setup"
i686-w64-mingw32-objdump -f "$1" | grep -q "file format pei-i386" || { echo "not PE32 i386"; exit 1; }
[[ "$plugin" == "$expected" && "$setup" == "ConfigDSN " ]]

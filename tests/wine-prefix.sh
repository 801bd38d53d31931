#!/usr/bin/env bash
# Creates the Wine prefix that the tests of a Windows build share, once, before any of
# them runs. Wine's setup needs its own setupapi.dll, so no override may be in force.
set -eu
export WINEPREFIX=$1 WINEDEBUG=-all
unset WINEDLLOVERRIDES
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9> "$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init
    wineserver --wait
fi

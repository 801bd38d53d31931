#!/usr/bin/env bash
# Creates the Wine prefix that the tests of a Windows build share, once, before any of
# them runs. Wine's setup needs its own setupapi.dll, so no override may be in force.
set -eu
export WINEPREFIX=$1 WINEDEBUG=-all
unset WINEDLLOVERRIDES
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init
fi
wineserver --wait

#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix, making the prefix first
# if there is none yet: once, whichever test or GoogleTest's listing of cases comes
# first, with no DLL override in force, since Wine's setup needs its own setupapi.dll.
# LOADER is the Wine loader for the exe's kind, wine for a 32-bit one and wine64 for a
# 64-bit one, which then needs no 32-bit program; the prefix is made by it.
#
# usage: wine.sh LOADER PREFIX                    make the prefix, and no more
#        wine.sh LOADER PREFIX PROGRAM ARGS...    run PROGRAM under LOADER
#        wine.sh LOADER PREFIX --import REG COMMAND...
#                      import REG into the prefix's registry (planting or removing
#                      devices), then run COMMAND with no DLL override
set -eu
loader=$1
export WINEPREFIX=$2
shift 2
export WINEDEBUG=${WINEDEBUG:--all}
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9> "$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    env -u WINEDLLOVERRIDES WINEDEBUG=-all "$loader" wineboot --init
    wineserver --wait
fi
exec 9>&-

[ $# -gt 0 ] || exit 0
if [ "$1" = --import ]; then
    unset WINEDLLOVERRIDES
    "$loader" regedit /S "$2" || { echo "regedit could not import $2"; exit 1; }
    shift 2
    exec "$@"
fi
exec "$loader" "$@"

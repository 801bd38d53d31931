#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's prefix, with the stand-in
# setupapi.dll beside it in the place of Wine's. Makes the prefix first if there is
# none yet: GoogleTest lists a test program's cases before any test, the one that
# makes the prefix included, has run.
# usage: wine-run.sh PREFIX PROGRAM ARGS...
set -eu
prefix=$1
shift
bash "$(dirname "$0")/wine-prefix.sh" "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=setupapi=n,b
exec wine "$@"

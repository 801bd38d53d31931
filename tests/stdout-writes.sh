#!/usr/bin/env bash
# Prints how many WriteFile calls (WriteConsoleA or W on a console) a program made on
# its standard output, from a Wine log (WINEDEBUG=+relay,+loaddll) of a run with the
# stand-in setupapi.dll: Wine's other processes log too, so it keeps to the thread that
# loads the stand-in, and to the handle it got for standard output.
# usage: stdout-writes.sh LOG
set -u
relay=$1
thread=$(grep -m1 -iE '^[0-9a-f]+:trace:loaddll:.*\\setupapi\.dll" at [0-9a-f]+: native$' "$relay" |
         cut -d: -f1)
[ -n "$thread" ] || { echo "no thread loads a native setupapi.dll in $relay" >&2; exit 1; }
awk -v thread="$thread" '
    index($0, thread ":") != 1 { next }
    /:Call KERNEL32\.GetStdHandle\(fffffff5\)/ { asked = 1; next }
    asked && /:Ret  KERNEL32\.GetStdHandle\(\) retval=/ {
        match($0, /retval=[0-9a-f]+/); handle = substr($0, RSTART + 7, RLENGTH - 7)
        sub(/^0+/, "", handle); asked = 0; next
    }
    handle != "" && /:Call KERNEL32\.(WriteFile|WriteConsole[AW])\(/ {
        first = substr($0, index($0, "(") + 1); sub(/,.*/, "", first); sub(/^0+/, "", first)
        if (first == handle) writes++
    }
    END { print writes + 0 }' "$relay"

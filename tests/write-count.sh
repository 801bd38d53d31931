#!/usr/bin/env bash
# Counts the WriteFile calls halvern.exe makes on its standard output, redirected to a
# file, for COUNT devices of the stand-in, in Wine's relay log, and fails above
# 3 * ceil(BYTES / 4096) + 2, BYTES being the output's size with its CRs: three for each
# 4096 bytes (msvcrt.dll writes out its 4096-byte buffer as it fills, and Wine's text
# mode writes each, CRs added, in pieces of at most 2047 bytes), and two to spare for
# where the buffers' ends fall. A printf that writes out each line, or each character,
# takes many more.
# usage: write-count.sh COUNT WORK-DIR LOADER EXE   (WINEPREFIX and the overrides set)
set -u
count=$1 work=$2 loader=$3 exe=$4
here=$(dirname "$0")
rm -rf "$work"
bash "$here/many-devices.sh" "$count" "$work" || exit 1
export STANDIN_MACHINE=$work/machine WINEDEBUG=+relay,+loaddll
unset STANDIN_CALLS
"$loader" "$exe" > "$work/out" 2> "$work/relay"
status=$?
[ "$status" = 0 ] || { echo "exit status $status"; exit 1; }
lines=$(wc -l < "$work/out")
[ "$lines" = "$(wc -l < "$work/stdout")" ] || { echo "$lines lines of output, expected $(wc -l < "$work/stdout")"; exit 1; }

writes=$(bash "$here/stdout-writes.sh" "$work/relay") || exit 1
bytes=$(stat -c %s "$work/out")
limit=$((3 * ((bytes + 4095) / 4096) + 2))
echo "$bytes bytes of output in $writes WriteFile calls on stdout (at most $limit)"
[ "$writes" -gt 0 ] && [ "$writes" -le "$limit" ]

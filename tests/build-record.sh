#!/usr/bin/env bash
# The build record and its comparison: this host's record of SYSTEM agrees with the
# host, and a copy with one version edited by hand is named, package and both versions.
# usage: build-record.sh SYSTEM WORK [RUNTIME]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
system=$1 work=$2 runtime=${3:-}
fail() { echo "build-record: $*" >&2; exit 1; }
mkdir -p "$work"
bash "$top/cmake/build-record.sh" "$system" ${runtime:+"$runtime"} > "$work/record.txt"
grep -q "^$system cmake [^ ]" "$work/record.txt" || fail "no record of cmake: $(cat "$work/record.txt")"
bash "$top/tests/reproducible.sh" --versions "$work/record.txt" ||
    fail "this host differs from the record it has just written"

read -r _ package version < "$work/record.txt"
sed "1s/ [^ ]*\$/ $version~edited/" "$work/record.txt" > "$work/edited.txt"
bash "$top/tests/reproducible.sh" --versions "$work/edited.txt" > "$work/compare.log" &&
    fail "an edited version passed: $(cat "$work/compare.log")"
grep -qxF "$system $package: built with $version~edited, this host has $version" "$work/compare.log" ||
    fail "the edited version is not named: $(cat "$work/compare.log")"
[ "$(grep -c ': built with' "$work/compare.log")" = 1 ] || fail "more is named: $(cat "$work/compare.log")"
echo "$system: $(grep -c . "$work/record.txt") versions recorded; the edited one named: $(head -n 1 "$work/compare.log")"

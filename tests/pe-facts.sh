#!/usr/bin/env bash
# Checks what a clean Windows will see of halvern.exe: a console program importing only
# KERNEL32, msvcrt and SETUPAPI, printing through msvcrt's own printf, with ASLR
# (high-entropy on x64), DEP and relocations, no symbols, a version resource and an
# asInvoker manifest; at most 20 KiB for the 32-bit exe and 24 KiB for the 64-bit one.
# usage: pe-facts.sh OBJDUMP EXE x86|x64 VERSION
set -u
objdump=$1 exe=$2 arch=$3 version=$4
headers=$("$objdump" -p "$exe") || exit 1
failed=0
fail() { echo "$exe: $*"; failed=1; }
has() { grep -qE "$1" <<< "$headers"; }

if [ "$arch" = x86 ]; then
    has 'file format pei-i386' && has 'Magic[[:space:]]+010b' || fail "not a PE32 image"
    limit=20480
else
    has 'file format pei-x86-64' && has 'Magic[[:space:]]+020b' || fail "not a PE32+ image"
    limit=24576
fi
size=$(stat -c %s "$exe")
[ "$size" -le "$limit" ] || fail "$size bytes, over $limit"
has 'Subsystem[[:space:]]+00000003' || fail "not a console program"

imports=$(grep -oP 'DLL Name: \K\S+' <<< "$headers" | sort | tr '\n' ' ')
[ "$imports" = "KERNEL32.dll SETUPAPI.dll msvcrt.dll " ] || fail "imports: $imports"
# The functions msvcrt.dll gives, from its "DLL Name" line to the next one. mingw-w64's
# own printf, if it were linked in, would leave printf out of this list.
msvcrt=$(awk '/DLL Name:/ { inside = /msvcrt\.dll/; next } inside && NF >= 3 { print $3 }' <<< "$headers")
grep -qx printf <<< "$msvcrt" || fail "printf is not imported from msvcrt.dll"

flags=$((16#$(grep -oP 'DllCharacteristics\s+\K[0-9a-fA-F]+' <<< "$headers")))
(( flags & 0x40 )) || fail "no ASLR (DYNAMIC_BASE)"
(( flags & 0x100 )) || fail "no DEP (NX_COMPAT)"
if [ "$arch" = x64 ]; then (( flags & 0x20 )) || fail "no high-entropy ASLR"; fi
has 'Base Relocation Directory \[\.reloc\]' || fail "no relocation table"
has 'symbols stripped' || fail "symbols not stripped"

# Resource type 0x10 is the version, 0x18 the manifest.
has 'Entry: ID: 0x000010' || fail "no version resource"
has 'Entry: ID: 0x000018' || fail "no manifest"
strings -e l "$exe" | grep -qx "$version" || fail "no version $version in the version resource"
strings -e l "$exe" | grep -qx Halvern || fail "no product name in the version resource"
manifest=$(strings "$exe")
grep -q 'level="asInvoker"' <<< "$manifest" || fail "manifest does not ask for asInvoker"
for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
          1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    grep -q "$os" <<< "$manifest" || fail "manifest lacks supportedOS $os"
done
exit $failed

#!/usr/bin/env bash
# Checks what a clean Windows will see of halvern.exe: a console program importing only
# KERNEL32, msvcrt and SETUPAPI, printing through msvcrt's own printf, with ASLR
# (high-entropy on 64-bit), DEP and relocations, no symbols, a version resource and an
# asInvoker manifest; at most 20 KiB for the 32-bit exe and 24 KiB for a 64-bit one.
# OBJDUMP is GNU objdump, or llvm-objdump, whose llvm-readobj beside it reads the
# resources.
# usage: pe-facts.sh OBJDUMP EXE x86|x64|arm64 VERSION
set -u
objdump=$1 exe=$2 arch=$3 version=$4
headers=$("$objdump" -p "$exe") || exit 1
failed=0
fail() { echo "$exe: $*"; failed=1; }
has() { grep -qE "$1" <<< "$headers"; }

# GNU objdump names the formats pei-*, llvm-objdump coff-*.
case $arch in
x86)
    has 'file format (pei|coff)-i386' && has 'Magic[[:space:]]+010b' || fail "not an x86 PE32 image"
    limit=20480 ;;
x64)
    has 'file format (pei|coff)-x86-64' && has 'Magic[[:space:]]+020b' || fail "not an x64 PE32+ image"
    limit=24576 ;;
arm64)
    has 'file format (pei-aarch64-little|coff-arm64)' && has 'Magic[[:space:]]+020b' ||
        fail "not an ARM64 PE32+ image"
    limit=24576 ;;
*)
    fail "unknown architecture $arch"; exit 1 ;;
esac
size=$(stat -c %s "$exe")
[ "$size" -le "$limit" ] || fail "$size bytes, over $limit"
has 'Subsystem[[:space:]]+00000003' || fail "not a console program"

imports=$(grep -oP 'DLL Name: \K\S+' <<< "$headers" | sort | tr '\n' ' ')
[ "$imports" = "KERNEL32.dll SETUPAPI.dll msvcrt.dll " ] || fail "imports: $imports"
# The functions msvcrt.dll gives, from its "DLL Name" line to the next one, each the
# last field of a line after its hint. mingw-w64's own printf, if it were linked in,
# would leave printf out of this list.
msvcrt=$(awk '/DLL Name:/ { inside = /msvcrt\.dll/; next }
              inside && NF >= 2 && $(NF - 1) ~ /^[0-9]+$/ && $NF ~ /^[A-Za-z_]/ { print $NF }' <<< "$headers")
grep -qx printf <<< "$msvcrt" || fail "printf is not imported from msvcrt.dll"

flags=$((16#$(grep -oP 'DllCharacteristics\s+\K[0-9a-fA-F]+' <<< "$headers")))
(( flags & 0x40 )) || fail "no ASLR (DYNAMIC_BASE)"
(( flags & 0x100 )) || fail "no DEP (NX_COMPAT)"
if [ "$arch" != x86 ]; then (( flags & 0x20 )) || fail "no high-entropy ASLR"; fi
has 'Base Relocation Directory \[\.reloc\]' || fail "no relocation table"
# No symbol table: lld, unlike GNU ld, does not flag the image as stripped.
symbols=$("$objdump" -t "$exe" | tr -d '\0'; exit "${PIPESTATUS[0]}") || exit 1
grep -q '^\[ *[0-9]*\](sec' <<< "$symbols" && fail "symbols not stripped"

# Resource type 0x10 is the version, 0x18 the manifest.
if [[ $(basename "$objdump") = llvm-objdump* ]]; then
    readobj=${objdump%objdump*}readobj${objdump##*objdump}
    resources=$("$readobj" --coff-resources "$exe") || exit 1
    grep -qE 'Type: .*\(ID 16\)' <<< "$resources" || fail "no version resource"
    grep -qE 'Type: .*\(ID 24\)' <<< "$resources" || fail "no manifest"
else
    has 'Entry: ID: 0x000010' || fail "no version resource"
    has 'Entry: ID: 0x000018' || fail "no manifest"
fi
strings -e l "$exe" | grep -qx "$version" || fail "no version $version in the version resource"
strings -e l "$exe" | grep -qx Halvern || fail "no product name in the version resource"
manifest=$(strings "$exe")
grep -q 'level="asInvoker"' <<< "$manifest" || fail "manifest does not ask for asInvoker"
for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
          1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    grep -q "$os" <<< "$manifest" || fail "manifest lacks supportedOS $os"
done
exit $failed

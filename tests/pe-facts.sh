#!/usr/bin/env bash
# Checks what a clean Windows will see of halvern.exe (doc/testing.md, Under Wine, lists
# the facts), with one reader for all three architectures: LLVM's llvm-readobj.
# usage: pe-facts.sh READOBJ EXE x86|x64|arm64 VERSION
set -u
readobj=$1 exe=$2 arch=$3 version=$4
facts=$("$readobj" --file-headers --coff-imports --coff-resources "$exe") || exit 1
failed=0
fail() { echo "$exe: $*"; failed=1; }
has() { grep -qE "$1" <<< "$facts"; }
image() { has "^Format: $1\$" && has "^  Magic: $2\$"; }

case $arch in
x86) image COFF-i386 0x10B || fail "not an x86 PE32 image"; limit=20480 ;;
x64) image COFF-x86-64 0x20B || fail "not an x64 PE32+ image"; limit=24576 ;;
arm64) image COFF-ARM64 0x20B || fail "not an ARM64 PE32+ image"; limit=24576 ;;
*) fail "unknown architecture $arch"; exit 1 ;;
esac
size=$(stat -c %s "$exe")
[ "$size" -le "$limit" ] || fail "$size bytes, over $limit"
has 'Subsystem: IMAGE_SUBSYSTEM_WINDOWS_CUI ' || fail "not a console program"

imports=$(grep -oP '^  Name: \K\S+\.dll$' <<< "$facts" | sort | tr '\n' ' ')
[ "$imports" = "KERNEL32.dll SETUPAPI.dll msvcrt.dll " ] || fail "imports: $imports"
# The functions msvcrt.dll gives. mingw-w64's own printf, if it were linked in, would
# leave printf out of this list.
msvcrt=$(awk '/^Import \{/ { inside = 0 } /^  Name: / { inside = $2 == "msvcrt.dll" }
              inside && /^  Symbol: / { print $2 }' <<< "$facts")
grep -qx printf <<< "$msvcrt" || fail "printf is not imported from msvcrt.dll"

has 'IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE ' || fail "no ASLR (DYNAMIC_BASE)"
has 'IMAGE_DLL_CHARACTERISTICS_NX_COMPAT ' || fail "no DEP (NX_COMPAT)"
[ "$arch" = x86 ] || has 'IMAGE_DLL_CHARACTERISTICS_HIGH_ENTROPY_VA ' || fail "no high-entropy ASLR"
has 'BaseRelocationTableSize: 0x0*[1-9A-F]' || fail "no relocation table"
has '^  SymbolCount: 0$' || fail "symbols not stripped"
why=$(bash "$(dirname "$0")/../cmake/pe-checksum.sh" --check "$exe") || fail "$why"

has 'Type: VERSIONINFO \(ID 16\)' || fail "no version resource"
has 'Type: MANIFEST \(ID 24\)' || fail "no manifest"
strings -e l "$exe" | grep -qx "$version" || fail "no version $version in the version resource"
strings -e l "$exe" | grep -qx Halvern || fail "no product name in the version resource"
manifest=$(strings "$exe")
grep -q 'level="asInvoker"' <<< "$manifest" || fail "manifest does not ask for asInvoker"
for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
          1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    grep -q "$os" <<< "$manifest" || fail "manifest lacks supportedOS $os"
done
exit $failed

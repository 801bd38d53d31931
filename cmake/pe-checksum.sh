#!/usr/bin/env bash
# Writes the PE checksum into a Windows exe, in place, or checks it. GNU ld writes it,
# lld 14 leaves it 0 and has no option for it; osslsigncode writes the computed one when
# it takes a signature off, so without this an lld-linked exe, signed and unsigned
# again, would differ from the exe built.
#
# The checksum: the file's 16-bit little-endian words, the checksum field left out,
# added with the carry folded back in, plus the file's length.
# usage: pe-checksum.sh EXE            write it
#        pe-checksum.sh --check EXE    exit 1, saying so, unless it is there and right
set -euo pipefail
check=no
[ "$1" != --check ] || { check=yes; shift; }
exe=$1
field=$(($(od -An -tu4 --endian=little -j60 -N4 "$exe") + 88))
size=$(stat -c %s "$exe")
sum=$(od -An -v -tu2 --endian=little -w2 "$exe" |
    awk -v skip=$((field / 2)) -v size="$size" '
        NR - 1 == skip || NR - 1 == skip + 1 { next }
        { sum += $1; sum = sum % 65536 + int(sum / 65536) }
        END { print sum % 65536 + int(sum / 65536) + size }')
if [ $check = yes ]; then
    written=$(od -An -tu4 --endian=little -j"$field" -N4 "$exe" | tr -d ' ')
    [ "$written" = "$sum" ] || { echo "PE checksum $written, should be $sum"; exit 1; }
    exit 0
fi
printf '%b' "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((sum & 255)) $((sum >> 8 & 255)) \
    $((sum >> 16 & 255)) $((sum >> 24 & 255)))" |
    dd of="$exe" bs=1 seek="$field" conv=notrunc status=none

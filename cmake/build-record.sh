#!/usr/bin/env bash
# Prints the build record of one Windows build: the exact Debian package versions of
# what shapes its exe's and zip's bytes, one "SYSTEM PACKAGE VERSION" a line, sorted.
# Packing writes these lines into the release's build-record.txt; reproducible.sh
# compares them with a host's. A package that is not installed has the version "none".
#
# ARM64's runtime is built from Debian's source packages: its lines "source:mingw-w64"
# and "source:llvm-toolchain-14" give their versions, from the runtime prefix's record
# when one is named, or else the versions mingw-aarch64-runtime.sh would build from now.
#
# usage: build-record.sh SYSTEM [RUNTIME]     SYSTEM: win32, win64 or arm64
#        build-record.sh --compare RECORD     name each version in RECORD that differs
#                                             from this host's; exit 1 if any does
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "$1" = --compare ]; then
    record=$2
    systems=$(awk '/^[a-z0-9]+ [^ ]+ [^ ]+$/ { print $1 }' "$record" | sort -u)
    [ -n "$systems" ] || { echo "$record holds no build record"; exit 1; }
    for system in $systems; do
        bash "$0" "$system" | sed 's/^/host /'
    done | awk 'FNR == NR && /^[a-z0-9]+ [^ ]+ [^ ]+$/ { built[$1 " " $2] = $3; next }
                $1 == "host" { here[$2 " " $3] = $4 }
                END {
                    for (key in built)
                        if (!(key in here)) { print key ": built with " built[key] ", not recorded on this host"; differ = 1 }
                        else if (built[key] != here[key]) { print key ": built with " built[key] ", this host has " here[key]; differ = 1 }
                    for (key in here)
                        if (!(key in built)) { print key ": not in the record, this host has " here[key]; differ = 1 }
                    exit differ
                }' "$record" - | sort || { echo "This host's toolchain differs from $record as above."; exit 1; }
    echo "This host has every version that $record records."
    exit 0
fi
system=$1 runtime=${2:-}

# cmake packs the zip through libarchive, which deflates through zlib.
packages=(cmake libarchive13 zlib1g)
case $system in
win32 | win64)
    arch=i686
    [ "$system" = win32 ] || arch=x86-64
    # The compilers and their libraries, the assembler and linker, and mingw-w64's
    # headers (common) and C runtime (dev).
    packages+=("g++-mingw-w64-$arch-posix" "gcc-mingw-w64-$arch-posix" gcc-mingw-w64-base
               "binutils-mingw-w64-$arch" "mingw-w64-$arch-dev" mingw-w64-common) ;;
arm64)
    # clang with its headers, lld and the LLVM tools, and the LLVM libraries they run on.
    packages+=(clang-14 libclang-cpp14 libclang-common-14-dev lld-14 llvm-14 libllvm14) ;;
*)
    echo "build-record.sh: no system $system: win32, win64 or arm64" >&2
    exit 1 ;;
esac
{
    for package in "${packages[@]}"; do
        # A library installed for more than one architecture has one version in all.
        version=$(dpkg-query -W -f='${Version}\n' "$package" 2> /dev/null | head -n 1 || true)
        echo "$system $package ${version:-none}"
    done
    if [ "$system" = arm64 ]; then
        if [ -n "$runtime" ]; then
            grep '^source:' "$runtime/sources.txt"
        else
            bash "$here/mingw-aarch64-runtime.sh" --record | grep '^source:'
        fi | sed "s/^/$system /"
    fi
} | sort

#!/usr/bin/env bash
# Installs what the tests need on Debian 12 where it is missing, then builds and tests
# every preset: Linux, Linux with sanitizers, and 32- and 64-bit Windows under Wine,
# whose zips it also packs.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make gcc libc6-dev binutils perl
          gcc-mingw-w64-i686 gcc-mingw-w64-x86-64 wine wine32:i386 wine64)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo dpkg --add-architecture i386
    $sudo apt-get update
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi

for preset in host sanitize windows-x86 windows-x64; do
    cmake --workflow --preset "$preset" --fresh
done

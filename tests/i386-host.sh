#!/usr/bin/env bash
# Whether this host runs 32-bit x86 programs, which Wine's 32-bit loader is, asked in
# one place by running one: a 96-byte static i386 ELF file that exits with 42. Where
# the kernel runs none, qemu-user runs them through binfmt_misc (doc/testing.md, Hosts
# without 32-bit support).
#
# usage: i386-host.sh check    exit 0 if a 32-bit program runs here; else one line on
#                              standard error, naming the cause and the fix
#        i386-host.sh how      print how one runs: "natively" or "under qemu-i386 ..."
#        i386-host.sh setup    (root) make one run here if none does
set -u
binfmt=/proc/sys/fs/binfmt_misc
entry="qemu-i386"
# qemu's own magic and mask for i386 ELF files, executables and shared objects, in the
# hex that binfmt_misc shows them in.
magic=7f454c4601010100000000000000000002000300
mask=fffffffffffefe00fffffffffffffffffeffffff

# The probe: ELF header, one loadable segment at 0x08048000, then: mov ebx,42; mov
# eax,1 (exit); int 0x80.
elf=7f454c460101010000000000000000000200030001000000548004083400000000000000000000003400200001000000
elf+=000000000100000000000000008004080080040860000000600000000500000000100000bb2a000000b801000000cd80

# Runs the probe from TMPDIR: exit 0 if it ran, 1 if not. Where not even a shell script
# runs there (TMPDIR mounted noexec), that says nothing of 32-bit support: it says so
# and exits 2.
probe() {
    local dir result=1
    dir=$(mktemp -d) || return 2
    printf '%b' "${elf//??/\\x&}" > "$dir/probe"
    printf '#!/bin/sh\nexit 42\n' > "$dir/script"
    chmod +x "$dir/probe" "$dir/script"
    "$dir/probe" 2> /dev/null
    if [ $? = 42 ]; then
        result=0
    elif "$dir/script" 2> /dev/null; [ $? != 42 ]; then
        echo "No program can run from $(dirname "$dir") (mounted noexec?), so whether this host runs 32-bit x86 programs is not known: set TMPDIR to a folder where programs can run." >&2
        result=2
    fi
    rm -rf "$dir"
    return $result
}

# The enabled binfmt_misc entry that takes i386 ELF files, if any: the kernel tries
# those before running the file itself.
interpreter() {
    local file
    for file in "$binfmt"/*; do
        grep -qsx enabled "$file" || continue
        grep -qx "magic $magic" "$file" || continue
        sed -n 's/^interpreter //p' "$file"
        return 0
    done
    return 1
}

fix="as root, run bash tests/run-all.sh, which installs qemu-user from bookworm-backports and registers it for i386 ELF"

case ${1:-} in
check)
    probe
    case $? in 0) exit 0 ;; 2) exit 1 ;; esac
    if [ ! -d "$binfmt" ]; then
        echo "This host cannot run 32-bit x86 programs, so not Wine's 32-bit loader either, and its kernel has no binfmt_misc, through which qemu-user could run them: run the 32-bit tests on another host." >&2
    else
        echo "This host cannot run 32-bit x86 programs, so not Wine's 32-bit loader either; $fix." >&2
    fi
    exit 1 ;;
how)
    probe
    case $? in 1) echo "not at all"; exit 1 ;; 2) exit 1 ;; esac
    if qemu=$(interpreter); then
        echo "under qemu-i386 $("$qemu" --version | sed -n '1s/.* version \([^ ]*\).*/\1/p')"
    else
        echo natively
    fi ;;
setup)
    probe
    case $? in 0) exit 0 ;; 2) exit 1 ;; esac
    if [ "$(id -u)" != 0 ]; then
        echo "This host cannot run 32-bit x86 programs; qemu-user must be installed and registered for them, which takes root: $fix." >&2
        exit 1
    fi
    if [ ! -f "$binfmt/register" ] && ! mount -t binfmt_misc binfmt_misc "$binfmt" 2> /dev/null; then
        echo "This host cannot run 32-bit x86 programs, and binfmt_misc, through which qemu-user would run them, cannot be mounted at $binfmt." >&2
        exit 1
    fi
    installed=$(bash "$(dirname "$0")/qemu-user.sh") || exit 1
    [ ! -e "$binfmt/$entry" ] || echo -1 > "$binfmt/$entry"
    # F opens the interpreter now, so that it serves in every mount namespace.
    printf ':%s:M::%s:%s:/usr/bin/qemu-i386:F\n' "$entry" "${magic//??/\\x&}" \
        "${mask//??/\\x&}" > "$binfmt/register" || exit 1
    echo "This host's kernel runs no 32-bit x86 program, which Wine's 32-bit loader is; $installed; registered qemu-i386 for i386 ELF in binfmt_misc."
    probe || { echo "qemu-i386 is registered, yet a 32-bit program still does not run." >&2; exit 1; }
    ;;
*)
    echo "usage: i386-host.sh check|how|setup" >&2
    exit 2 ;;
esac

#!/usr/bin/env bash
# Whether this host runs 32-bit x86 programs, which Wine's 32-bit loader is, asked in
# one place by running one: a 96-byte static i386 ELF file that exits with 42. Some
# x86-64 kernels run none (built with IA32_EMULATION_DEFAULT_DISABLED, booted with
# ia32_emulation=0, or in a virtual machine with no 32-bit mode); there qemu-user
# runs them, registered for i386 ELF through binfmt_misc. Debian 12's own qemu 7.2
# takes some 50 s of CPU for each Wine process; the 10.0 of bookworm-backports starts
# one in a fraction of a second.
#
# usage: i386-host.sh check    exit 0 if a 32-bit program runs here; else one line on
#                              standard error, naming the cause and the fix
#        i386-host.sh how      print how one runs: "natively" or "under qemu-i386 ..."
#        i386-host.sh setup    (root) make one run here if none does: install qemu-user
#                              from bookworm-backports and register it for i386 ELF
set -u
binfmt=/proc/sys/fs/binfmt_misc
entry=qemu-i386
# qemu's own magic and mask for i386 ELF files, executables and shared objects, in the
# hex that binfmt_misc shows them in.
magic=7f454c4601010100000000000000000002000300
mask=fffffffffffefe00fffffffffffffffffeffffff

probe() {
    local file
    file=$(mktemp) || return 1
    # ELF header, one loadable segment at 0x08048000, then: mov ebx,42; mov eax,1
    # (exit); int 0x80.
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0'`
          `'\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10'`
          `'\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0'`
          `'\273\52\0\0\0\270\1\0\0\0\315\200' > "$file"
    chmod +x "$file"
    "$file" 2> /dev/null
    local status=$?
    rm -f "$file"
    [ "$status" = 42 ]
}

# The enabled binfmt_misc entry that takes i386 ELF files, if any: the kernel tries
# those before running the file itself.
interpreter() {
    local file
    for file in "$binfmt"/*; do
        [ -f "$file" ] && grep -qx enabled "$file" 2> /dev/null || continue
        grep -qx "magic $magic" "$file" || continue
        sed -n 's/^interpreter //p' "$file"
        return 0
    done
    return 1
}

fix="as root, run bash tests/run-all.sh, which installs qemu-user from bookworm-backports and registers it for i386 ELF"

case ${1:-} in
check)
    probe && exit 0
    if [ ! -d "$binfmt" ]; then
        echo "This host cannot run 32-bit x86 programs, so not Wine's 32-bit loader either, and its kernel has no binfmt_misc, through which qemu-user could run them: run the 32-bit tests on another host." >&2
    else
        echo "This host cannot run 32-bit x86 programs, so not Wine's 32-bit loader either; $fix." >&2
    fi
    exit 1 ;;
how)
    probe || { echo "not at all"; exit 1; }
    if qemu=$(interpreter); then
        echo "under qemu-i386 $("$qemu" --version | sed -n '1s/.* version \([^ ]*\).*/\1/p')"
    else
        echo natively
    fi ;;
setup)
    probe && exit 0
    if [ "$(id -u)" != 0 ]; then
        echo "This host cannot run 32-bit x86 programs; qemu-user must be installed and registered for them, which takes root: $fix." >&2
        exit 1
    fi
    if [ ! -f "$binfmt/register" ] && ! mount -t binfmt_misc binfmt_misc "$binfmt" 2> /dev/null; then
        echo "This host cannot run 32-bit x86 programs, and binfmt_misc, through which qemu-user would run them, cannot be mounted at $binfmt." >&2
        exit 1
    fi
    bash "$(dirname "$0")/apt-source.sh" deb bookworm-backports || exit 1
    log=$(mktemp)
    { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y \
          --no-install-recommends -t bookworm-backports qemu-user; } > "$log" 2>&1 ||
        { cat "$log"; rm -f "$log"; exit 1; }
    rm -f "$log"
    [ -e "$binfmt/$entry" ] && echo -1 > "$binfmt/$entry"
    # F opens the interpreter now, so that it serves in every mount namespace.
    printf ':%s:M::%s:%s:/usr/bin/qemu-i386:F\n' "$entry" \
        "$(sed 's/../\\x&/g' <<< "$magic")" "$(sed 's/../\\x&/g' <<< "$mask")" \
        > "$binfmt/register" || exit 1
    version=$(/usr/bin/qemu-i386 --version | sed -n '1s/.* version \([^ ]*\).*/\1/p')
    echo "This host's kernel runs no 32-bit x86 program, which Wine's 32-bit loader is: installed qemu-user $version from bookworm-backports and registered it for i386 ELF in binfmt_misc."
    probe || { echo "qemu-i386 is registered, yet a 32-bit program still does not run." >&2; exit 1; }
    ;;
*)
    echo "usage: i386-host.sh check|how|setup" >&2
    exit 2 ;;
esac

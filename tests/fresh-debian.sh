#!/usr/bin/env bash
# Runs the README's two commands on a fresh Debian 12, as a new user would: a clean
# minbase root made by debootstrap from the host's own Debian source, a clone of the
# commit under test in it, and the commands as README.md gives them, word for word, as
# root, with an empty HOME and no cache of the project's. Prints each command's result
# and time, and each preset's test count; the whole output of each is kept in
# build/fresh-debian/ beside this clone.
#
# The commands run in a mount and PID namespace of their own: however the run ends,
# pass, fail or interrupt, the kernel ends every process started in the root and drops
# every mount made for it. The check then makes sure of both, and removes the root
# unless told to keep it.
#
# Kept between runs, in CACHE/halvern/fresh-debian, outside any root: the bootstrapped
# minbase root as a tarball (made again when a week old), and the .deb files that apt
# in the root downloads. Nothing beyond minbase is installed before the commands run.
#
# usage: fresh-debian.sh [--keep] [COMMIT]     (root; COMMIT defaults to HEAD)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
release=bookworm # Debian 12, the reference machine
path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

say() { echo "fresh-debian: $*"; }
fail() { echo "fresh-debian: $*" >&2; exit 1; }

# Inside the namespaces (the script runs itself so): mounts what a running system has,
# and the .deb cache, then runs each command in the root. Exits with the first failing
# command's status.
if [ "${1:-}" = --inside ]; then
    root=$2 debs=$3 logs=$4
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    mount --bind "$debs" "$root/var/cache/apt/archives"
    n=0 status=0
    while IFS= read -r command; do
        n=$((n + 1))
        say "command $n: $command"
        start=$SECONDS
        status=0
        chroot "$root" /usr/bin/env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/bash \
            PATH="$path" TERM=dumb /bin/bash -c "cd /halvern && $command" \
            < /dev/null > "$logs/command-$n.log" 2>&1 || status=$?
        elapsed=$((SECONDS - start))
        if [ $status = 0 ]; then
            say "command $n passed in $((elapsed / 60)) min $((elapsed % 60)) s"
        else
            say "command $n failed with status $status after $((elapsed / 60)) min $((elapsed % 60)) s; its last lines:"
            tail -n 40 "$logs/command-$n.log" | sed 's/^/    /'
        fi
        # cmake --workflow names each step's preset; ctest closes with its count.
        awk '/^Executing workflow step .* preset "/ { split($0, p, "\""); preset = p[2] }
             / tests passed, [0-9]+ tests failed out of / {
                 printf "    %s: %s\n", preset == "" ? "tests" : preset, $0 }' \
            "$logs/command-$n.log"
        [ $status = 0 ] || break
    done < "$logs/commands"
    awk '/ tests passed, [0-9]+ tests failed out of / { failed += $4; total += $NF }
         END { printf "fresh-debian: %d passed, %d failed\n", total - failed, failed }' \
        "$logs"/command-*.log
    exit "$status"
fi

keep=no
[ "${1:-}" != --keep ] || { keep=yes; shift; }
commit=$(git -C "$top" rev-parse --verify "${1:-HEAD}^{commit}") || fail "no commit ${1:-HEAD}"
[ "$(id -u)" = 0 ] || fail "debootstrap, chroot and the commands need root"

# The README's two commands: the indented lines of its quick start.
logs=$top/build/fresh-debian
rm -rf "$logs" && mkdir -p "$logs"
git -C "$top" show "$commit:README.md" |
    awk '/^## / { section = $0 } section == "## Quick start on Debian 12" && sub(/^    /, "")' \
        > "$logs/commands"
[ "$(wc -l < "$logs/commands")" = 2 ] ||
    fail "README.md's quick start should hold two indented commands, not $(wc -l < "$logs/commands")"

# The check's own tools, on the host.
for need in debootstrap:debootstrap unshare:util-linux chroot:coreutils git:git; do
    command -v "${need%:*}" > /dev/null && continue
    say "installing ${need#*:} for ${need%:*}"
    apt-get install -y -q "${need#*:}" > /dev/null 2>&1 ||
        { apt-get update -q > /dev/null && apt-get install -y -q "${need#*:}" > /dev/null; } ||
        fail "could not install ${need#*:}"
done

cache=${XDG_CACHE_HOME:-$HOME/.cache}/halvern/fresh-debian
mkdir -p "$cache/debs/partial"
read -r uri keyring < <(bash "$here/apt-source.sh" --show "$release") || exit 1
tarball=$cache/$release-minbase.tar
if [ -z "$(find "$tarball" -mtime -7 2> /dev/null)" ]; then
    say "bootstrapping a $release minbase root from $uri"
    fresh=$(mktemp -d /var/tmp/halvern-bootstrap.XXXXXX)
    keyopt=()
    [ "$keyring" = - ] || keyopt=(--keyring="$keyring")
    debootstrap --variant=minbase "${keyopt[@]}" "$release" "$fresh" "$uri" \
        > "$logs/debootstrap.log" 2>&1 ||
        { tail -n 5 "$logs/debootstrap.log" >&2; rm -rf "$fresh"; fail "debootstrap failed"; }
    tar --numeric-owner -C "$fresh" -cf "$tarball.new" . && mv "$tarball.new" "$tarball"
    rm -rf "$fresh"
fi

work=$(mktemp -d /var/tmp/halvern-fresh.XXXXXX)
root=$work/root
inside=
# Every path out comes here: the namespaces go with their last process, and then
# nothing may be left in the root, neither a process nor a mount.
finish() {
    local status=$? pid left=0
    trap - EXIT INT TERM
    [ -z "$inside" ] || kill -KILL "$inside" 2> /dev/null || true
    wait 2> /dev/null || true
    for pid in /proc/[0-9]*; do
        pid=${pid#/proc/}
        [ "$(readlink "/proc/$pid/root" 2> /dev/null)" = "$root" ] || continue
        say "process $pid ($(tr '\0' ' ' < "/proc/$pid/cmdline")) outlived the run; killing it"
        kill -KILL "$pid" 2> /dev/null || true
        left=1
    done
    if grep -q " $work/" /proc/mounts; then
        say "mounts outlived the run:" && grep " $work/" /proc/mounts
        left=1
    elif [ $keep = yes ]; then
        say "kept the root in $root"
    else
        rm -rf "$work"
    fi
    [ $left = 0 ] || status=1
    exit "$status"
}
trap finish EXIT
trap 'say "interrupted"; exit 130' INT TERM

mkdir "$root"
tar --numeric-owner -C "$root" -xf "$tarball"
# The network settings a fresh machine here is given: the name servers, and the
# certificate authorities the host adds to Debian's (one may be a proxy's, through
# which HTTPS, to the npm registry say, goes). Debian's ca-certificates takes them in
# when the commands install it.
cp /etc/resolv.conf "$root/etc/resolv.conf"
if [ -d /usr/local/share/ca-certificates ]; then
    mkdir -p "$root/usr/local/share/ca-certificates"
    cp -r /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
fi
git clone -q --no-hardlinks "$top" "$root/halvern"
git -C "$root/halvern" checkout -q "$commit"
say "commit $(git -C "$top" log -1 --format='%h %s' "$commit") in a fresh $release root, $root"

# --kill-child: should this script die, the namespace's first process gets SIGKILL,
# and with it every process in the namespace.
unshare --mount --propagation private --pid --fork --kill-child -- \
    bash "$0" --inside "$root" "$cache/debs" "$logs" &
inside=$!
wait "$inside"

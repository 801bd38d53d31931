#!/usr/bin/env bash
# Installs qemu-user from the backports of the host's Debian release, whose own is far
# slower (doc/testing.md), adding that suite first; does nothing where it is installed.
# Root. Says what it did in one line, or why it could not on standard error.
# usage: qemu-user.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
version() { "$1" --version | sed -n '1s/.* version \([^ ]*\).*/\1/p'; }

if dpkg-query -W -f='${Status}' qemu-user 2> /dev/null | grep -q 'ok installed'; then
    echo "qemu-user $(version qemu-aarch64) is installed"
    exit 0
fi
[ "$(id -u)" = 0 ] || { echo "installing qemu-user takes root" >&2; exit 1; }
backports=$(bash "$here/apt-source.sh" --codename)-backports
bash "$here/apt-source.sh" deb "$backports"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
bash "$here/apt-source.sh" --update > "$log" 2>&1 || { tail -n 5 "$log" >&2; exit 1; }
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        -t "$backports" qemu-user > "$log" 2>&1; then
    tail -n 5 "$log" >&2
    echo "could not install qemu-user from $backports" >&2
    exit 1
fi
echo "installed qemu-user $(version qemu-aarch64) from $backports"

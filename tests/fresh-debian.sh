#!/usr/bin/env bash
# Rehearses the workflow's build job (.github/workflows/windows.yml) on a fresh Debian
# 12, the way a hosted runner's container job runs it: a clean minbase root made by
# debootstrap from the host's own Debian source, with a debian:12 container's apt
# suites, each from the host's own entry for it, and the job's steps, read from the
# YAML, run in it in order, as root, in a workspace whose top folder belongs to the
# runner's user (uid 1001) and whose contents belong to root, with HOME an empty folder
# of the job's own, GITHUB_WORKSPACE, GITHUB_REPOSITORY (a made-up rehearsal/halvern),
# CI and GITHUB_ACTIONS set, and each step's script run by GitHub's shell for it. The
# job runs the README's two commands word for word (--readme checks that, first), so
# this is also the README's check on a fresh machine.
#
# A `uses:` step is played by its plain equivalent: actions/checkout by a shallow fetch
# of the commit into the workspace, as the action makes it; actions/upload-artifact by
# a check that its path holds what the Windows jobs read from it. Prints each step's
# result and time, and each preset's test count; each step's whole output is kept in
# build/fresh-debian/ beside this clone.
#
# A container may neither mount nor register a binfmt_misc entry. Where the host runs
# 32-bit programs, the steps run with a container's capabilities alone; where it runs
# none, the README's second command needs more, to register qemu-i386, and keeps them.
#
# The steps run in a mount and PID namespace of their own: however the run ends, pass,
# fail or interrupt, the kernel ends every process started in the root and drops every
# mount made for it. The check then makes sure of both, and removes the root unless
# told to keep it.
#
# Kept between runs, in CACHE/halvern/fresh-debian, outside any root: the bootstrapped
# minbase root as a tarball (made again when a week old), and the .deb files that apt
# in the root downloads. Nothing beyond minbase is installed before the steps run.
#
# usage: fresh-debian.sh [--keep] [COMMIT]     (root; COMMIT defaults to HEAD)
#        fresh-debian.sh --readme [TOP]        check that the build job runs the
#                                              README's two commands, in order, each
#                                              as a step of its own, word for word
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
release=bookworm # Debian 12, the reference machine
path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
workflow=.github/workflows/windows.yml
workspace=/__w/halvern/halvern # where a container job's checkout lies
runner=1001                    # the hosted runner's user, who owns the workspace folder

say() { echo "fresh-debian: $*"; }
fail() { echo "fresh-debian: $*" >&2; exit 1; }

# The README's two commands: the indented lines of its quick start, from stdin.
readme_commands() {
    awk '/^## / { section = $0 } section == "## Quick start on Debian 12" && sub(/^    /, "")'
}

# The build job's steps, from the workflow on stdin, one folder each under $1, in
# order: `name`, and either `run` and `shell` (GitHub's command line for it, {0} for
# the script), or `uses` with the `with:` settings it has. Debian's YAML reader, not
# the host's Python packages. A key that this rehearsal cannot play fails it.
job_steps() {
    # shellcheck disable=SC2016 # Python, not shell
    /usr/bin/python3 -c '
import os, sys, yaml
job = yaml.safe_load(sys.stdin)["jobs"]["build"]
if job.get("container") != "debian:12":
    sys.exit("the build job runs in %r, not in debian:12" % job.get("container"))
for key in set(job) - {"runs-on", "container", "timeout-minutes", "steps"}:
    sys.exit("the build job has %r, which the rehearsal does not play" % key)
# GitHub: bash -e when no shell is named; these when one is.
shells = {None: "bash -e {0}", "bash": "bash --noprofile --norc -eo pipefail {0}",
          "sh": "sh -e {0}"}
for n, step in enumerate(job["steps"], 1):
    for key in set(step) - {"name", "run", "shell", "uses", "with"}:
        sys.exit("step %d has %r, which the rehearsal does not play" % (n, key))
    folder = os.path.join(sys.argv[1], "%02d" % n)
    os.makedirs(folder)
    def put(name, text):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    put("name", step.get("name") or step.get("uses") or step["run"].split("\n")[0])
    if "run" in step:
        if "${{" in step["run"]:
            sys.exit("step %d has an expression, which the rehearsal cannot give" % n)
        shell = step.get("shell")
        put("run", step["run"])
        put("shell", shells.get(shell) or (shell if "{0}" in str(shell) else ""))
    else:
        put("uses", step["uses"])
        for key, value in step.get("with", {}).items():
            put("with." + key, str(value))
' "$1"
}

# Whether the job's steps, under $1, run the README's commands ($2): each, in the
# README's order, must be the whole script of a later step. Says which step runs each.
runs_readme() {
    local steps=$1 readme=$2 from=0 status=0 command step n found
    while IFS= read -r command; do
        found=
        for step in "$steps"/*/; do
            n=$(basename "$step")
            if [ "$((10#$n))" -gt "$from" ] && [ -f "$step/run" ] &&
                [ "$(cat "$step/run")" = "$command" ]; then
                found=$n && break
            fi
        done
        if [ -n "$found" ]; then
            echo "step $found runs the README's: $command"
            from=$((10#$found))
        else
            echo "$workflow: no step of the build job after step $from runs, word for word, the README's command: $command"
            status=1
        fi
    done < <(readme_commands < "$readme")
    return $status
}

if [ "${1:-}" = --readme ]; then
    tree=${2:-$top}
    steps=$(mktemp -d)
    trap 'rm -rf "$steps"' EXIT
    job_steps "$steps" < "$tree/$workflow" || exit 1
    runs_readme "$steps" "$tree/README.md"
    exit
fi

# A `uses:` step, played in the workspace on the host's side of the root.
play() {
    local step=$1 ws=$root$workspace uses
    uses=$(cat "$step/uses")
    case $uses in
        actions/checkout@*)
            # As the action does: git trusts the workspace only for the action's own
            # commands, through a HOME of its own that goes with the step.
            local home status=0
            home=$(mktemp -d)
            action_git() { HOME=$home git "$@"; }
            {
                action_git config --global --add safe.directory "$ws" &&
                    action_git -C "$ws" init -q &&
                    action_git -C "$ws" remote add origin "file://$top" &&
                    action_git -C "$ws" -c protocol.version=2 fetch -q --no-tags --depth=1 \
                        origin "+$commit:refs/remotes/origin/main" &&
                    action_git -C "$ws" checkout -q --force -B main refs/remotes/origin/main
            } || status=$?
            rm -rf "$home"
            [ $status = 0 ] || return $status
            echo "checked out $commit into $workspace"
            ;;
        actions/upload-artifact@*)
            local name folder needs=() need missing=0
            name=$(cat "$step/with.name") folder=$ws/$(cat "$step/with.path")
            # What the Windows jobs read from each artifact.
            case $name in
                release) needs=(SHA256SUMS 'halvern-*-win32.zip' 'halvern-*-win64.zip' 'halvern-*-arm64.zip') ;;
                manifests) needs=('winget/*.installer.yaml' scoop/halvern.json) ;;
                checks) needs=(x64/windows-check.exe arm64/windows-check.exe) ;;
                *) echo "no Windows job reads an artifact named $name"; return 1 ;;
            esac
            for need in "${needs[@]}"; do
                # shellcheck disable=SC2086 # the pattern is meant to expand
                if compgen -G "$folder/$need" > /dev/null; then
                    echo "artifact $name holds $(cd "$folder" && echo $need)"
                else
                    echo "artifact $name: $(cat "$step/with.path")/$need is missing"
                    missing=1
                fi
            done
            [ ! -f "$folder/SHA256SUMS" ] || (cd "$folder" && sha256sum -c SHA256SUMS) || missing=1
            return $missing
            ;;
        *) echo "the rehearsal cannot play $uses"; return 1 ;;
    esac
}

# Inside the namespaces (the script runs itself so): mounts what a running system has,
# and the .deb cache, makes the runner's folders, then runs each step. Exits with the
# first failing step's status.
if [ "${1:-}" = --inside ]; then
    root=$2 debs=$3 logs=$4 commit=$5 caps=$6
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    mount --bind "$debs" "$root/var/cache/apt/archives"
    mkdir -p "$root$workspace" "$root/__w/_temp" "$root/github/home"
    chown "$runner:$runner" "$root/__w" "$root/__w/halvern" "$root$workspace" \
        "$root/__w/_temp" "$root/github/home"
    # A container's capabilities, as Docker gives them, where the host needs no more.
    limit=()
    [ "$caps" = all ] || limit=(setpriv --bounding-set "-all,$caps" --)
    status=0
    for step in "$logs"/steps/*/; do
        n=$(basename "$step")
        say "step $n: $(cat "$step/name")"
        start=$SECONDS
        status=0
        if [ -f "$step/uses" ]; then
            play "$step" > "$logs/step-$n.log" 2>&1 || status=$?
        else
            [ -s "$step/shell" ] || { say "step $n names a shell GitHub does not know"; exit 1; }
            cp "$step/run" "$root/__w/_temp/step-$n.sh"
            read -ra shell <<< "$(sed "s|{0}|/__w/_temp/step-$n.sh|" "$step/shell")"
            # shellcheck disable=SC2016 # expanded by the step's own sh
            "${limit[@]}" chroot "$root" /usr/bin/env -i HOME=/github/home SHELL=/bin/bash \
                PATH="$path" CI=true GITHUB_ACTIONS=true GITHUB_WORKSPACE="$workspace" \
                GITHUB_REPOSITORY=rehearsal/halvern \
                RUNNER_TEMP=/__w/_temp /bin/sh -c 'cd "$GITHUB_WORKSPACE" && exec "$@"' step \
                "${shell[@]}" < /dev/null > "$logs/step-$n.log" 2>&1 || status=$?
        fi
        elapsed=$((SECONDS - start))
        if [ $status = 0 ]; then
            say "step $n passed in $((elapsed / 60)) min $((elapsed % 60)) s"
        else
            say "step $n failed with status $status after $((elapsed / 60)) min $((elapsed % 60)) s; its last lines:"
            tail -n 40 "$logs/step-$n.log" | sed 's/^/    /'
        fi
        # ctest names each preset's build folder, then closes with its count; run-all.sh
        # ends with the time of each phase.
        awk '/^Test project / { n = split($3, p, "/"); preset = p[n] }
             / tests passed, [0-9]+ tests failed out of / {
                 printf "    %s: %s\n", preset == "" ? "tests" : preset, $0 }
             /^run-all: / { print "    " $0 }' "$logs/step-$n.log"
        [ $status = 0 ] || break
    done
    awk '/ tests passed, [0-9]+ tests failed out of / { failed += $4; total += $NF }
         END { printf "fresh-debian: %d passed, %d failed\n", total - failed, failed }' \
        "$logs"/step-*.log
    exit "$status"
fi

keep=no
[ "${1:-}" != --keep ] || { keep=yes; shift; }
commit=$(git -C "$top" rev-parse --verify "${1:-HEAD}^{commit}") || fail "no commit ${1:-HEAD}"
[ "$(id -u)" = 0 ] || fail "debootstrap, chroot and the steps need root"
logs=$top/build/fresh-debian
rm -rf "$logs" && mkdir -p "$logs"

# The check's own tools, on the host.
for need in debootstrap:debootstrap unshare:util-linux chroot:coreutils git:git \
            "/usr/bin/python3 -c 'import yaml'":python3-yaml; do
    bash -c "command -v ${need%:*}" > /dev/null 2>&1 && continue
    say "installing ${need#*:}"
    apt-get install -y -q "${need#*:}" > /dev/null 2>&1 ||
        { apt-get update -q > /dev/null && apt-get install -y -q "${need#*:}" > /dev/null; } ||
        fail "could not install ${need#*:}"
done
# The commit's workflow and README: the job must run the README's commands, so that
# rehearsing it runs them.
git -C "$top" show "$commit:$workflow" | job_steps "$logs/steps" || fail "cannot rehearse $workflow"
git -C "$top" show "$commit:README.md" > "$logs/README.md"
runs_readme "$logs/steps" "$logs/README.md" || fail "the build job does not run the README's commands"

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
# A debian:12 container's apt has three suites, debootstrap's root only the release:
# the root gets the container's (its debian.sources), each made from the host's own
# entry for it, so that the job here installs, and the build record lists, the
# package versions the hosted job will have.
rm -f "$root/etc/apt/sources.list"
for suite in "$release" "$release-updates" "$release-security"; do
    read -r suite_uri suite_keyring < <(bash "$here/apt-source.sh" --show "$suite") ||
        fail "the host's apt has no source for $suite, which a debian:12 container's has"
    {
        echo "Types: deb"
        echo "URIs: $suite_uri"
        echo "Suites: $suite"
        echo "Components: main"
        if [ "$suite_keyring" != - ]; then
            echo "Signed-By: $suite_keyring"
            # A keyring of the host's own (a mirror's) is not in a minbase root.
            [ -e "$root$suite_keyring" ] ||
                install -D -m 644 "$suite_keyring" "$root$suite_keyring"
        fi
        echo
    } >> "$root/etc/apt/sources.list.d/debian.sources"
done
# And the settings the image's build (debuerreotype) gives its dpkg and apt: no sync
# after each file dpkg unpacks, compressed indexes, no translations, no service started.
# Not its docker-clean, which deletes each download after use: the downloads are kept
# outside the root here.
echo force-unsafe-io > "$root/etc/dpkg/dpkg.cfg.d/docker-apt-speedup"
echo 'Acquire::GzipIndexes "true";' > "$root/etc/apt/apt.conf.d/docker-gzip-indexes"
echo 'Acquire::Languages "none";' > "$root/etc/apt/apt.conf.d/docker-no-languages"
echo 'Apt::AutoRemove::SuggestsImportant "false";' > "$root/etc/apt/apt.conf.d/docker-autoremove-suggests"
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d" && chmod 755 "$root/usr/sbin/policy-rc.d"
# The network settings a fresh machine here is given: the name servers, and the
# certificate authorities the host adds to Debian's (one may be a proxy's, through
# which HTTPS, to the npm registry say, goes). Debian's ca-certificates takes them in
# when the commands install it.
cp /etc/resolv.conf "$root/etc/resolv.conf"
if [ -d /usr/local/share/ca-certificates ]; then
    mkdir -p "$root/usr/local/share/ca-certificates"
    cp -r /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
fi
# Docker's default capabilities, unless the host runs no 32-bit program (above).
caps=+chown,+dac_override,+fowner,+fsetid,+kill,+setgid,+setuid,+setpcap,+net_bind_service
caps=$caps,+net_raw,+sys_chroot,+mknod,+audit_write,+setfcap
if ! bash "$here/i386-host.sh" check 2> /dev/null; then
    caps=all
    say "this host runs no 32-bit program: the steps keep the capabilities to register qemu-i386"
fi
say "commit $(git -C "$top" log -1 --format='%h %s' "$commit") in a fresh $release root, $root"

# --kill-child: should this script die, the namespace's first process gets SIGKILL,
# and with it every process in the namespace.
unshare --mount --propagation private --pid --fork --kill-child -- \
    bash "$0" --inside "$root" "$cache/debs" "$logs" "$commit" "$caps" &
inside=$!
wait "$inside"

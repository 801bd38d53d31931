#!/usr/bin/env bash
# Lays out what a tagged run publishes, for the workflow's release job, which only
# calls GitHub's tools on it. First it refuses a tag that is not v<version>, the
# version CMakeLists.txt gives, and a release folder that holds other files than
# SHA256SUMS lists (and SHA256SUMS), or whose files do not match it. Then it copies
# into ASSETS, flat, the release's files and the manifests made for the run
# (cmake/manifests.sh), and writes SUBJECTS, the attestation's subjects in the form of
# sha256sum: SHA256SUMS's own lines, then SHA256SUMS and each manifest.
#
# With --bundle, it puts the attestation's Sigstore bundle into ASSETS as
# halvern-<version>.sigstore.json, for a user to verify with offline.
#
# usage: release-assets.sh TAG RELEASE MANIFESTS ASSETS SUBJECTS
#        release-assets.sh --bundle BUNDLE TAG ASSETS
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "release-assets: $*" >&2; exit 1; }

version=$(sed -n 's/^project(halvern VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || fail "CMakeLists.txt gives no version"
# The tag must name the version the sources give, or the release would publish files
# under one version and name them by another.
tag_is_version() {
    [ "$1" = "v$version" ] ||
        fail "the tag $1 is not v$version, the version CMakeLists.txt gives: refused; tag that commit v$version, or change the version and tag the commit that does"
}

if [ "${1:-}" = --bundle ]; then
    [ $# = 4 ] || fail "usage: release-assets.sh --bundle BUNDLE TAG ASSETS"
    bundle=$2 assets=$4
    tag_is_version "$3"
    [ -s "$bundle" ] || fail "no attestation bundle at '$bundle'"
    cp "$bundle" "$assets/halvern-$version.sigstore.json"
    echo "release-assets: the attestation bundle is $assets/halvern-$version.sigstore.json"
    exit 0
fi

[ $# = 5 ] || fail "usage: release-assets.sh TAG RELEASE MANIFESTS ASSETS SUBJECTS"
tag=$1 release=$2 manifests=$3 assets=$4 subjects=$5
tag_is_version "$tag"
[ -f "$release/SHA256SUMS" ] || fail "$release holds no SHA256SUMS"
(cd "$release" && sha256sum --quiet --strict -c SHA256SUMS) || fail "$release does not match its SHA256SUMS"

# Exactly what SHA256SUMS lists, and SHA256SUMS: these zips of this version, and the
# build record.
listed=$(cut -d' ' -f3- "$release/SHA256SUMS" | sort)
want=$(printf '%s\n' "halvern-$version-"{arm64,win32,win64}.zip build-record.txt | sort)
[ "$listed" = "$want" ] || fail "SHA256SUMS lists $(echo "$listed" | tr '\n' ' ')where a release of $version lists $(echo "$want" | tr '\n' ' ')"
held=$(cd "$release" && find . -mindepth 1 -printf '%P\n' | sort)
[ "$held" = "$(printf '%s\nSHA256SUMS\n' "$listed" | sort)" ] ||
    fail "$release holds $(echo "$held" | tr '\n' ' ')where only SHA256SUMS and what it lists may be published"

mapfile -t made < <(cd "$manifests" && find . -type f -printf '%P\n' | sort)
[ ${#made[@]} -gt 0 ] || fail "$manifests holds no manifests"
rm -rf "$assets" && mkdir -p "$assets"
cp "$release"/* "$assets/"
cp "$release/SHA256SUMS" "$subjects"
for file in SHA256SUMS "${made[@]}"; do
    name=$(basename "$file")
    [ ! -e "$assets/$name" ] || [ "$file" = SHA256SUMS ] || fail "two files would be published as $name"
    [ "$file" = SHA256SUMS ] || cp "$manifests/$file" "$assets/$name"
    (cd "$assets" && sha256sum "$name") >> "$subjects"
done
echo "release-assets: halvern $version: $(find "$assets" -type f | wc -l) files in $assets, $(wc -l < "$subjects") of them attested"

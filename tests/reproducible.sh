#!/usr/bin/env bash
# Builds each Windows preset twice from clean, from two clones of this commit made at
# different times in folders of different paths, and checks that halvern.exe, the zip
# and the build record come out byte for byte the same. Prints the SHA-256 of each.
# Given a release, it first names each difference between this host's toolchain and
# the release's build-record.txt, then checks the rebuilt files against its SHA256SUMS.
#
# usage: reproducible.sh [RELEASE]           RELEASE: a folder with SHA256SUMS and
#                                            build-record.txt
#        reproducible.sh --versions RECORD   compare the versions alone; exit 1 on any
#                                            difference
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = --versions ]; then
    exec bash "$top/cmake/build-record.sh" --compare "${2:?usage: reproducible.sh --versions RECORD}"
fi
release=${1:-}
if [ -n "$release" ]; then
    bash "$top/cmake/build-record.sh" --compare "$release/build-record.txt" ||
        echo "The release's bytes may differ from this host's for that."
fi

commit=$(git -C "$top" rev-parse HEAD)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {
    local dir=$1
    git clone -q "$top" "$dir"
    git -C "$dir" checkout -q "$commit"
    for preset in windows-x86 windows-x64 windows-arm64; do
        (cd "$dir" && cmake --preset "$preset" -DBUILD_TESTING=OFF > /dev/null &&
            cmake --build --preset "$preset" --target halvern > /dev/null &&
            cpack --preset "$preset" > /dev/null)
    done
}
first=$work/a
second=$work/another/folder/further/down
build "$first"
sleep 2 # a later build: other file times in the clone and the build
build "$second"

failed=0
version=$(sed -n 's/^project(halvern VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
for file in win32/halvern.exe "halvern-$version-win32.zip" win64/halvern.exe "halvern-$version-win64.zip" \
            arm64/halvern.exe "halvern-$version-arm64.zip" build-record.txt; do
    a=$(sha256sum < "$first/build/release/$file" | cut -d' ' -f1)
    b=$(sha256sum < "$second/build/release/$file" | cut -d' ' -f1)
    if [ "$a" = "$b" ]; then
        echo "$a  $file"
    else
        echo "$file differs between the two builds: $a and $b"
        failed=1
    fi
done
(cd "$first/build/release" && sha256sum --quiet -c SHA256SUMS) || failed=1
if [ -n "$release" ]; then
    (cd "$first/build/release" && sha256sum -c "$(cd "$release" && pwd)/SHA256SUMS") || failed=1
fi
exit $failed

#!/usr/bin/env bash
# Builds each Windows preset twice from clean, from two clones of this commit made at
# different times in folders of different paths, and checks that halvern.exe and the
# zip come out byte for byte the same. Prints the SHA-256 of each.
# usage: reproducible.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
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
            arm64/halvern.exe "halvern-$version-arm64.zip"; do
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
exit $failed

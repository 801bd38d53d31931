#!/usr/bin/env bash
# Builds each Windows preset from clean, from a clone of this commit, and checks that
# the zips, the build record and SHA256SUMS come out byte for byte the same as a
# release's: the one given, or else a second such build made later in a folder of
# another path. Prints the SHA-256 of each file that matches, and where each that does
# not first differs; for a zip, also which of the files in it differ. Given a release,
# it first names each difference between this host's toolchain and the release's
# build-record.txt.
#
# usage: reproducible.sh [RELEASE]           RELEASE: a folder with the files, as
#                                            build/release holds them or as they are
#                                            downloaded
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

# Only what a release holds: the exe, then its zip, which packing builds nothing more
# for. The three presets side by side, each in a build folder of its own; their zips
# and the build record meet in the clone's build/release, where packing reads and
# writes the record and SHA256SUMS, so they pack one at a time. A failing one is named
# with its last lines.
build() {
    local dir=$1 preset status=0
    git clone -q "$top" "$dir"
    git -C "$dir" checkout -q "$commit"
    mkdir -p "$dir/build"
    for preset in windows-x86 windows-x64 windows-arm64; do
        (cd "$dir" && cmake --preset "$preset" -DBUILD_TESTING=OFF \
             -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON &&
            cmake --build --preset "$preset" --target halvern &&
            flock build/packing.lock cpack --preset "$preset") > "$dir/build/$preset.log" 2>&1 &
    done
    for preset in windows-x86 windows-x64 windows-arm64; do
        wait -n || status=1
    done
    [ $status != 0 ] || return 0
    for preset in windows-x86 windows-x64 windows-arm64; do
        echo "== the rebuild's $preset, last lines:" && tail -n 15 "$dir/build/$preset.log"
    done
    return 1
}
first=$work/a
build "$first"
if [ -n "$release" ]; then
    against=$(cd "$release" && pwd)
else
    against=$work/another/folder/further/down
    sleep 2 # a later build: other file times in the clone and the build
    build "$against"
    against=$against/build/release
fi

# Which of the files in two zips differ: both are unpacked and compared file by file.
# When none does, the zips differ in their own entries (a file's time, their order).
zip_members() {
    local name=$1 one=$work/unzip/one/$1 two=$work/unzip/two/$1 member same=1
    mkdir -p "$one" "$two"
    if ! (cd "$one" && cmake -E tar xf "$2") || ! (cd "$two" && cmake -E tar xf "$3"); then
        echo "    $name: cannot be unpacked"
        return
    fi
    while IFS= read -r member; do
        cmp -s "$one/$member" "$two/$member" || { echo "    $name: $member differs, or is in one zip only"; same=; }
    done < <({ (cd "$one" && find . -type f -printf '%P\n'); (cd "$two" && find . -type f -printf '%P\n'); } | sort -u)
    [ -z "$same" ] || echo "    $name: every file in it is the same; the zip's own entries differ"
}

failed=0
version=$(sed -n 's/^project(halvern VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
for file in "halvern-$version-"{win32,win64,arm64}.zip build-record.txt SHA256SUMS; do
    if difference=$(cmp "$first/build/release/$file" "$against/$file" 2>&1); then
        echo "$(sha256sum < "$against/$file" | cut -d' ' -f1)  $file"
    else
        echo "$file is not reproduced: $difference"
        [[ $file != *.zip ]] || [ ! -f "$against/$file" ] ||
            zip_members "$file" "$first/build/release/$file" "$against/$file"
        failed=1
    fi
done
(cd "$first/build/release" && sha256sum --quiet -c SHA256SUMS) || failed=1
exit $failed

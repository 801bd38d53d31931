#!/usr/bin/env bash
# Builds what Debian 12 lacks for native ARM64 Windows, from Debian's own source
# packages, with Debian's clang 14: mingw-w64's headers and C runtime, compiler-rt's
# __chkstk (mingw-w64's start-up code calls it), and libc++ with libc++abi and
# libunwind, which every C++ program of the ARM64 build links but halvern.exe: the
# stand-in DLL, the test programs and bench/probe.exe.
#
# The prefix is cached outside the clone, keyed on what it is built from and with (the
# source package versions, and those of the LLVM 14 packages: built_from, below) and on
# this script, so that a second run does nothing. Each piece says in one line what it
# did; what cannot be had, or a piece that fails, ends the run with one line on
# standard error. apt-get source needs a deb-src line for Debian 12, not root.
#
# usage: mingw-aarch64-runtime.sh            build if needed
#        mingw-aarch64-runtime.sh --prefix   the same, then print the prefix
#        mingw-aarch64-runtime.sh --record   print what it would be built from and
#                                            with, building nothing
set -euo pipefail
export LC_ALL=C

triple=aarch64-w64-mingw32
cache=${XDG_CACHE_HOME:-$HOME/.cache}/halvern
say() { echo "aarch64 runtime: $*" >&2; }
die() { say "$*"; exit 1; }

# LLVM 14's own folder, where clang finds ld.lld and llvm-windres finds clang by
# those names: Debian's clang-14 and lld-14 put only versioned names on the PATH, and
# the unversioned ones, from the clang and lld packages, may name another LLVM.
# (mingw-aarch64.cmake names the same folder.)
llvm=/usr/lib/llvm-14/bin
for need in "$llvm/clang:clang-14" "$llvm/clang++:clang-14" "$llvm/ld.lld:lld-14" \
            "$llvm/llvm-ar:llvm-14" "$llvm/llvm-ranlib:llvm-14" "$llvm/llvm-dlltool:llvm-14" \
            apt-get:apt apt-cache:apt dpkg-source:dpkg-dev patch:patch bzip2:bzip2 \
            xz:xz-utils make:make cmake:cmake ninja:ninja-build python3:python3; do
    command -v "${need%:*}" > /dev/null || die "${need%:*} is missing: install the Debian package ${need#*:}"
done
# libc++'s build merges libc++abi into libc++.a with a script that needs distutils.
python3 -c 'import distutils.spawn' 2> /dev/null ||
    die "python3's distutils is missing: install the Debian package python3-distutils"

# The version apt-get source would fetch: the highest one in apt's source indexes.
version_of() {
    apt-cache showsrc --only-source "$1" 2> /dev/null |
        awk '/^Version:/ { print $2 }' | sort -V | tail -n 1
}
for package in mingw-w64 llvm-toolchain-14; do
    [ -n "$(version_of $package)" ] ||
        die "no source package $package in apt's indexes; as root: bash tests/apt-source.sh deb-src && apt-get update"
done
mingw_version=$(version_of mingw-w64)
llvm_version=$(version_of llvm-toolchain-14)

# What the runtime is built from and with, one "PACKAGE VERSION" a line; the prefix
# keeps it as its record (sources.txt) and is keyed on it.
built_from=$(echo "source:mingw-w64 $mingw_version"
             echo "source:llvm-toolchain-14 $llvm_version"
             dpkg-query -W clang-14 lld-14 llvm-14 libclang-common-14-dev | tr '\t' ' ')
if [ "${1:-}" = --record ]; then
    echo "$built_from"
    exit 0
fi
key=$( (echo "$built_from"; cat "$0") | sha256sum | cut -c1-12)
prefix=$cache/$triple-$key
work=$prefix.work
sysroot=$prefix/$triple
resources=$prefix/clang
mkdir -p "$prefix/.done"

# One build at a time per prefix: two configures starting together wait for each other.
exec 9> "$prefix/.lock"
flock 9

# Runs a piece once: its stamp says it is done (the unpacked sources' stamp lives with
# them in the work folder). Its output goes to a log there, kept when the piece fails; a
# piece names what it could not have on descriptor 3.
piece() {
    local name=$1 start=$SECONDS stamp=$prefix/.done/$1 failed
    [ "$name" != sources ] || stamp=$work/.sources-done
    [ -f "$stamp" ] && return 0
    # Not in an || list, where the piece's own set -e would be ignored.
    set +e
    (set -e; "$name") > "$work/$name.log" 2>&1 3> "$work/$name.why"
    failed=$?
    set -e
    if [ $failed != 0 ]; then
        [ -s "$work/$name.why" ] && die "$(cat "$work/$name.why")"
        die "building the $name failed; see $work/$name.log"
    fi
    touch "$stamp"
    say "$name: $("summary_$name") ($((SECONDS - start)) s)"
}

# The paths of the work folder and of the cache stay out of what is built.
flags="--target=$triple --sysroot=$prefix -resource-dir=$resources -ffile-prefix-map=$work=."
# What CMake's checks link with, before there is a libc++ or an unwinder.
ldflags="-fuse-ld=lld -rtlib=compiler-rt -unwindlib=none"

# Both source packages, as apt-get source fetches them (their hashes checked against
# the signed index; a file already there and whole is not fetched again), unpacked:
# mingw-w64 whole, with Debian's patches; of LLVM only the runtimes built here, from the
# upstream tarball, less their tests and documents.
sources() {
    local package
    cd "$cache/sources"
    for package in mingw-w64=$mingw_version llvm-toolchain-14=$llvm_version; do
        apt-get source --download-only "$package" || {
            echo "apt-get source could not fetch the source package $package (network, or apt's index out of date?)" >&3
            return 1
        }
    done
    rm -rf "$work/mingw-w64" "$work/llvm"
    dpkg-source -x "mingw-w64_${mingw_version#*:}.dsc" "$work/mingw-w64"
    local upstream=${llvm_version#*:}
    upstream=${upstream%-*}
    mkdir "$work/llvm"
    tar -xJf "llvm-toolchain-14_$upstream.orig.tar.xz" -C "$work/llvm" --strip-components=1 \
        --exclude='*/test' --exclude='*/benchmarks' --exclude='*/docs' \
        "llvm-toolchain-14_$upstream/"{cmake,runtimes,libcxx,libcxxabi,libunwind} \
        "llvm-toolchain-14_$upstream/compiler-rt/lib/builtins/"{assembly.h,aarch64/chkstk.S} \
        "llvm-toolchain-14_$upstream/llvm/"{cmake,utils/llvm-lit}
}
summary_sources() { echo "mingw-w64 $mingw_version and llvm-toolchain-14 $llvm_version unpacked"; }

# The resource folder is the prefix's own, so that -rtlib=compiler-rt finds the builtins
# built below; its headers are clang's.
headers() {
    mkdir -p "$resources/lib"
    ln -sfn "$("$llvm/clang" -print-resource-dir)/include" "$resources/include"
    rm -rf "$work/headers" && mkdir "$work/headers" && cd "$work/headers"
    "$work/mingw-w64/mingw-w64-headers/configure" --host=$triple --prefix="$sysroot" \
        --with-default-msvcrt=msvcrt
    make install
}
summary_headers() { echo "mingw-w64 headers installed"; }

# Of the ARM64 libraries, with msvcrt.dll as the C runtime as for the x86 builds, only
# what the builds here link: the start-up objects; what clang links into every program
# (mingw32 to kernel32); what CMake adds to every link on Windows (gdi32 to comdlg32);
# and the import libraries the project's targets name (setupapi, cfgmgr32). A target
# that links another Windows library adds it here. The other 370-odd import libraries
# and the other C runtimes' would take longer to build than all of these, and
# dependency tracking, which a build made once has no use for, most of configure's time.
# No debug information (configure's default is -g -O2): nothing here reads it, and the
# exes are stripped.
libraries=(mingw32 mingwex moldname msvcrt advapi32 shell32 user32 kernel32
           gdi32 winspool ole32 oleaut32 uuid comdlg32 setupapi cfgmgr32)
crt() {
    local source=$work/mingw-w64/mingw-w64-crt startup files
    files=("${libraries[@]/#/libarm64/lib}")
    files=("${files[@]/%/.a}")
    rm -rf "$work/crt" && mkdir "$work/crt" && cd "$work/crt"
    "$source/configure" --host=$triple --prefix="$sysroot" --disable-dependency-tracking \
        --enable-libarm64 --disable-lib32 --disable-lib64 --disable-libarm32 \
        --with-default-msvcrt=msvcrt \
        CC="$llvm/clang $flags" CCAS="$llvm/clang $flags" AR="$llvm/llvm-ar" \
        RANLIB="$llvm/llvm-ranlib" DLLTOOL="$llvm/llvm-dlltool" CFLAGS=-O2
    # Without dependency tracking, nothing makes the folders the objects go to.
    (cd "$source" && find . -type d -print0) | xargs -0 mkdir -p
    # shellcheck disable=SC2016 # make's variable, printed by make
    startup=$(make -s -f Makefile -f - print-startup <<< 'print-startup: ; @echo $(crt64_DATA)')
    # shellcheck disable=SC2086 # a list of files
    make -j2 $startup "${files[@]}"
    mkdir -p "$sysroot/lib"
    # shellcheck disable=SC2086
    cp $startup "${files[@]}" "$sysroot/lib/"
}
summary_crt() { echo "mingw-w64 C runtime for ARM64, ${#libraries[@]} libraries, installed"; }

# Of compiler-rt's builtins, the library clang links into everything, only what the
# builds link: __chkstk, the stack probe (lld's --verbose names no other member loaded
# from the whole library, 252 objects). A program that needs another builtin fails to
# link, naming it: its source goes here, and into what sources() unpacks.
builtins() {
    local source=$work/llvm/compiler-rt/lib/builtins
    rm -rf "$work/builtins" && mkdir "$work/builtins" && cd "$work/builtins"
    # shellcheck disable=SC2086 # the flags, a word each
    "$llvm/clang" $flags -c "$source/aarch64/chkstk.S" -o chkstk.o
    mkdir -p "$resources/lib/windows"
    "$llvm/llvm-ar" rcsD "$resources/lib/windows/libclang_rt.builtins-aarch64.a" chkstk.o
}
summary_builtins() { echo "compiler-rt's __chkstk installed as its builtins library"; }

# Static libraries only, so that a program or DLL needs no C++ runtime DLL beside it;
# libc++abi goes into libc++.a. No filesystem library: nothing here uses it. Optimized
# for size, which compiles faster than Release's -O3. Most of configure's time is its
# checks, a test build each: LLVM's warning flags, which change no code, are not tried,
# and what the linker supports is found once, not in each test build.
libcxx() {
    rm -rf "$work/libcxx"
    cmake -G Ninja -S "$work/llvm/runtimes" -B "$work/libcxx" -DCMAKE_BUILD_TYPE=MinSizeRel \
        -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=ARM64 \
        -DCMAKE_C_COMPILER="$llvm/clang" -DCMAKE_CXX_COMPILER="$llvm/clang++" \
        -DCMAKE_C_COMPILER_WORKS=ON -DCMAKE_CXX_COMPILER_WORKS=ON \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_ASM_FLAGS="$flags" \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
        -DCMAKE_AR="$llvm/llvm-ar" -DCMAKE_RANLIB="$llvm/llvm-ranlib" \
        -DCMAKE_TRY_COMPILE_PLATFORM_VARIABLES=_CMAKE_LINKER_PUSHPOP_STATE_SUPPORTED \
        -DCMAKE_INSTALL_PREFIX="$sysroot" -DCMAKE_C_COMPILER_TARGET=$triple \
        -DCMAKE_CXX_COMPILER_TARGET=$triple \
        -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" -DLLVM_INCLUDE_TESTS=OFF \
        -DLLVM_INCLUDE_DOCS=OFF -DLLVM_ENABLE_WARNINGS=OFF \
        -DLIBUNWIND_USE_COMPILER_RT=ON -DLIBUNWIND_ENABLE_SHARED=OFF \
        -DLIBCXXABI_USE_COMPILER_RT=ON -DLIBCXXABI_USE_LLVM_UNWINDER=ON \
        -DLIBCXXABI_ENABLE_SHARED=OFF -DLIBCXXABI_LIBDIR_SUFFIX= \
        -DLIBCXX_USE_COMPILER_RT=ON -DLIBCXX_ENABLE_SHARED=OFF -DLIBCXX_CXX_ABI=libcxxabi \
        -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=ON -DLIBCXX_LIBDIR_SUFFIX= \
        -DLIBCXX_ENABLE_FILESYSTEM=OFF -DLIBCXX_ENABLE_EXPERIMENTAL_LIBRARY=OFF \
        -DLIBCXX_INCLUDE_TESTS=OFF -DLIBCXX_INCLUDE_BENCHMARKS=OFF \
        -DLIBCXX_ENABLE_ABI_LINKER_SCRIPT=OFF
    ninja -C "$work/libcxx" -j2 install
}
summary_libcxx() { echo "libc++, libc++abi and libunwind installed"; }

if [ -f "$prefix/.done/libcxx" ]; then
    say "up to date in $prefix"
else
    mkdir -p "$cache/sources" "$work"
    for name in sources headers crt builtins libcxx; do
        piece $name
    done
    rm -rf "$work"
    echo "$built_from" > "$prefix/sources.txt"
    say "ready in $prefix"
fi
[ "${1:-}" != --prefix ] || echo "$prefix"

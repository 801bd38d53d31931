#!/usr/bin/env bash
# Measures halvern against bench/baseline.c, a plain C program making the same calls
# and printing the same lines through the same printf, so that what halvern adds to
# the platform's cost shows. Runs on demand, never in CI: it takes two to four minutes.
#
# usage: bench/run.sh [LINUX-PAIRS [WINE-PAIRS]]     (defaults 101 and 51)
#
# Runs go in pairs, one of each program, alternating which goes first, after one
# warm-up pair; output goes to a file. For CPU time (user + system, the kernel's
# account) and wall time alike, the ratio is the median of the pair-by-pair ratios
# halvern/baseline, with their interquartile range and their whole range. Pairs keep
# the ratio honest when the machine's speed drifts.
set -euo pipefail
cd "$(dirname "$0")/.."
# Its own tools, beyond the tests' (bash tests/run-all.sh installs those): a missing one
# stops it before anything is built, naming the Debian package. time is GNU time, the
# program, not bash's keyword.
for need in time:time free:procps valgrind:valgrind; do
    type -P "${need%:*}" > /dev/null ||
        { echo "bench/run.sh needs ${need%:*}: install the Debian package ${need#*:}" >&2; exit 1; }
done
linux_pairs=${1:-101} wine_pairs=${2:-51}
work=$PWD/build/bench
mkdir -p "$work"

for preset in host windows-x86 windows-x64 windows-arm64; do
    cmake --preset "$preset" > /dev/null
    cmake --build --preset "$preset" > /dev/null
done
measure=$PWD/build/host/bench/measure
host_tool=$PWD/build/host/halvern host_base=$PWD/build/host/bench/baseline
win_dir=$PWD/build/windows-x86 win64_dir=$PWD/build/windows-x64
# Each Windows build's exes, and the Wine loader its preset found, by kind: 32, 64, or
# arm64, whose loader is Debian's arm64 Wine under qemu-aarch64.
declare -A dir=([32]=$win_dir [64]=$win64_dir [arm64]=$PWD/build/windows-arm64) loader
declare -A kind=([32]=32-bit [64]=64-bit [arm64]=ARM64)
for bits in 32 64 arm64; do
    loader[$bits]=$(sed -n 's/^HALVERN_WINE:[A-Z]*=//p' "${dir[$bits]}/CMakeCache.txt")
done
# How this host runs the 32-bit exe: Wine's 32-bit loader natively, or under qemu-i386,
# where the exe's own code is emulated too.
i386=$(bash tests/i386-host.sh how) || { bash tests/i386-host.sh check; exit 1; }

# stats FILE: the median, quartiles and range of the numbers in FILE.
stats() {
    sort -g "$1" | awk '{ v[NR] = $1 }
        function at(q,   i) { i = 1 + q * (NR - 1); return v[int(i)] + (i - int(i)) * (v[int(i) + 1] - v[int(i)]) }
        END { printf "%.3f | %.3f to %.3f | %.3f to %.3f", at(0.5), at(0.25), at(0.75), v[1], v[NR] }'
}
median() {
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# compare LABEL PAIRS: runs tool_cmd and base_cmd in pairs and prints two table rows,
# CPU time and wall time.
compare() {
    local label=$1 pairs=$2 i a b
    : > "$work/a"; : > "$work/b"
    for ((i = 0; i <= pairs; i++)); do
        if ((i % 2 == 0)); then
            a=$("$measure" "$work/out" "${tool_cmd[@]}")
            b=$("$measure" "$work/out-baseline" "${base_cmd[@]}")
        else
            b=$("$measure" "$work/out-baseline" "${base_cmd[@]}")
            a=$("$measure" "$work/out" "${tool_cmd[@]}")
        fi
        [ "$i" -eq 0 ] && continue
        echo "$a" >> "$work/a"
        echo "$b" >> "$work/b"
    done
    cmp -s "$work/out" "$work/out-baseline" || { echo "$label: the outputs differ"; exit 1; }
    local column name
    for column in 2 1; do
        name=$([ "$column" = 2 ] && echo CPU || echo wall)
        paste -d' ' "$work/a" "$work/b" | awk -v c="$column" '{ print $c / $(c + 2) }' > "$work/ratio"
        printf '| %s, %s | %.1f ms | %.1f ms | %s |\n' "$label" "$name" \
            "$(cut -d' ' -f"$column" "$work/a" | median | awk '{ print $1 / 1e3 }')" \
            "$(cut -d' ' -f"$column" "$work/b" | median | awk '{ print $1 / 1e3 }')" \
            "$(stats "$work/ratio")"
    done
}

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"\
     "$(free -g | awk '/^Mem/ { print $2 }') GiB, $("${loader[64]}" --version), 32-bit code $i386, $(date -u +%F)"
echo
echo '| run | halvern | baseline | ratio (median) | ratio (quartiles) | ratio (range) |'
echo '|---|---|---|---|---|---|'

# 1. Linux build on the stand-in, 100,000 devices.
bash tests/many-devices.sh 100000 "$work/linux-100000"
export STANDIN_MACHINE=$work/linux-100000/machine
unset STANDIN_CALLS
tool_cmd=("$host_tool") base_cmd=("$host_base")
compare "Linux, stand-in, 100,000 devices ($linux_pairs pairs)" "$linux_pairs"

# 2. The exes under Wine on the stand-in setupapi.dll, 20,000 devices: the 64-bit one
#    under wine64, the 32-bit one under wine, each in a prefix of the benchmark's own
#    made by its loader, with one server for every run, so that no run pays for starting
#    it. The CPU time is the program's process; the server's is not in it.
export WINEDEBUG=-all
unset WINEDLLOVERRIDES
# Each prefix's server, and whatever else runs in it, ends with the benchmark, however
# it ends.
started=()
trap 'for bits in "${started[@]}"; do bash tests/wine.sh "${loader[$bits]}" "$work/wineprefix$bits" --stop; done' EXIT
bash tests/many-devices.sh 20000 "$work/wine-20000"
for bits in 64 32 arm64; do
    how='' pairs=$wine_pairs
    [ "$bits" = 32 ] && how=", $i386"
    # Both ARM64 programs and all of Wine with them run emulated, instruction by
    # instruction: fewer pairs.
    [ "$bits" = arm64 ] && how=", both emulated by qemu-aarch64" pairs=$(((wine_pairs + 1) / 2))
    export WINEPREFIX=$work/wineprefix$bits
    unset WINEDLLOVERRIDES STANDIN_MACHINE
    started+=("$bits")
    bash tests/wine.sh "${loader[$bits]}" "$WINEPREFIX" --start 2> /dev/null
    mkdir -p "$work/win$bits"
    cp "${dir[$bits]}"/{bench/baseline.exe,halvern.exe,setupapi.dll} "$work/win$bits/"
    export WINEDLLOVERRIDES=setupapi=n,b STANDIN_MACHINE=$work/wine-20000/machine
    tool_cmd=("${loader[$bits]}" "$work/win$bits/halvern.exe") base_cmd=("${loader[$bits]}" "$work/win$bits/baseline.exe")
    compare "Wine, ${kind[$bits]} exe$how, stand-in, 20,000 devices ($pairs pairs)" "$pairs"
done

# 3. WriteFile calls on stdout for 300 devices, to a file and to a console (a terminal
#    that script(1) provides, on which Wine's msvcrt writes with WriteConsoleW).
bash tests/many-devices.sh 300 "$work/wine-300"
export STANDIN_MACHINE=$work/wine-300/machine
# A count that cannot be made stops the benchmark rather than print a blank cell.
writes() {
    local program=$1 exe=$2 file bytes console command
    WINEDEBUG=+relay,+loaddll "$program" "$exe" > "$work/out" 2> "$work/relay"
    file=$(bash tests/stdout-writes.sh "$work/relay")
    bytes=$(stat -c %s "$work/out")
    # script(1) runs its command through a shell: every word quoted for it.
    printf -v command 'WINEDEBUG=+relay,+loaddll %q %q 2> %q' "$program" "$exe" "$work/relay-console"
    script -qfc "$command" /dev/null > "$work/out-console"
    console=$(bash tests/stdout-writes.sh "$work/relay-console")
    echo "| ${kind[$bits]} $(basename "$exe") | $bytes | $file | $console |"
}
echo
echo "WriteFile (console: WriteConsole) calls on stdout under Wine, stand-in, 300 devices:"
echo
echo "| program | bytes | to a file | to a console |"
echo "|---|---|---|---|"
for bits in 64 32 arm64; do
    export WINEPREFIX=$work/wineprefix$bits
    writes "${loader[$bits]}" "$work/win$bits/halvern.exe"
    writes "${loader[$bits]}" "$work/win$bits/baseline.exe"
done

# 4. Where the time goes on Wine's own Setup API (bench/probe.exe, the same calls timed
#    one by one, 64-bit), 1,000 Ports devices planted in the registry.
unset WINEDLLOVERRIDES STANDIN_MACHINE
export WINEPREFIX=$work/wineprefix64
{
    printf 'REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\FTDIBUS]\n\n'
    for ((i = 0; i < 1000; i++)); do
        printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+A%07d\\0000]\n' "$i"
        printf '"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"\n\n'
    done
} > "$work/ports.reg"
"${loader[64]}" regedit /S "$work/ports.reg"
echo
echo "Where the time goes on Wine's own Setup API (64-bit):"
for ((i = 0; i < 3; i++)); do echo "    $("${loader[64]}" "$win64_dir/bench/probe.exe")"; done

# 5. Instructions (callgrind: the same count every run) and memory, on Linux.
bash tests/many-devices.sh 10000 "$work/linux-10000"
instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" 2>&1 > /dev/null |
        grep -oP 'Collected : \K[0-9]+'
}
peak() {
    for ((i = 0; i < 5; i++)); do
        command time -f %M "$1" 2>&1 > /dev/null | tail -1
    done | median
}
allocs() {
    valgrind --tool=memcheck "$1" 2>&1 > /dev/null | grep -oP 'total heap usage: \K[0-9,]+(?= allocs)' | tr -d ,
}
export STANDIN_MACHINE=$work/linux-100000/machine
tool_ir=$(instructions "$host_tool") base_ir=$(instructions "$host_base")
tool_peak=$(peak "$host_tool") base_peak=$(peak "$host_base")
export STANDIN_MACHINE=$work/linux-10000/machine
tool_allocs=$(allocs "$host_tool") base_allocs=$(allocs "$host_base")
echo
echo "| Linux, stand-in | halvern | baseline | ratio |"
echo "|---|---|---|---|"
awk -v a="$tool_ir" -v b="$base_ir" 'BEGIN { printf "| instructions, 100,000 devices (callgrind) | %d | %d | %.3f |\n", a, b, a / b }'
awk -v a="$tool_peak" -v b="$base_peak" 'BEGIN { printf "| peak resident memory, 100,000 devices (KiB, median of 5) | %d | %d | %.3f |\n", a, b, a / b }'
echo "| heap allocations, 10,000 devices, whole process (valgrind) | $tool_allocs | $base_allocs | $((tool_allocs - base_allocs)) more |"

echo
echo "Sizes: $(stat -c '%n %s' "$win_dir/halvern.exe" "$win64_dir/halvern.exe" "${dir[arm64]}/halvern.exe" 2>/dev/null | sed "s|$PWD/||" | paste -sd, | sed 's/,/, /g') bytes"

#!/usr/bin/env bash
# Measures halvern against bench/baseline.c, a plain program making the same calls and
# printing the same lines, so that what halvern adds to the platform's cost shows.
# Runs on demand, never in CI: it takes a few minutes.
#
# usage: bench/run.sh [PAIRS]     (default 7, after one warm-up pair)
#
# Times are wall-clock medians over alternating runs (A B A B ...); the ratio is the
# median of the pair-by-pair ratios halvern/baseline, with its smallest and largest.
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=${1:-7}
work=$PWD/build/bench
mkdir -p "$work"

for preset in host windows-x86; do
    cmake --preset "$preset" > /dev/null
    cmake --build --preset "$preset" > /dev/null
done
host_tool=$PWD/build/host/halvern host_base=$PWD/build/host/bench/baseline
win_tool=$PWD/build/windows-x86/halvern.exe win_base=$PWD/build/windows-x86/bench/baseline.exe

# Prints the nanoseconds one run takes, its output going to $work/out.
run_ns() {
    local start end
    start=$(date +%s%N)
    "$@" > "$work/out"
    end=$(date +%s%N)
    echo $((end - start))
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# compare LABEL: runs "$tool_cmd" and "$base_cmd" in alternating pairs and prints a row.
compare() {
    local label=$1 i a b
    : > "$work/a"; : > "$work/b"; : > "$work/ratio"
    for ((i = 0; i <= pairs; i++)); do
        a=$(run_ns "${tool_cmd[@]}")
        b=$(run_ns "${base_cmd[@]}")
        [ "$i" -eq 0 ] && continue   # warm-up pair
        echo "$a" >> "$work/a"; echo "$b" >> "$work/b"
        awk -v a="$a" -v b="$b" 'BEGIN { printf "%.4f\n", a / b }' >> "$work/ratio"
    done
    printf '| %s | %.1f ms | %.1f ms | %.3f | %.3f to %.3f |\n' "$label" \
        "$(median < "$work/a" | awk '{ print $1 / 1e6 }')" \
        "$(median < "$work/b" | awk '{ print $1 / 1e6 }')" \
        "$(median < "$work/ratio")" "$(sort -g "$work/ratio" | head -1)" \
        "$(sort -g "$work/ratio" | tail -1)"
}

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(date -u +%F)"
echo "Pairs: $pairs after one warm-up pair"
echo
echo '| run | halvern | baseline | ratio (median) | ratio (range) |'
echo '|---|---|---|---|---|'

# 1. Linux build on the stand-in, 100,000 devices, output to a file.
bash tests/many-devices.sh 100000 "$work/host-100000"
export STANDIN_MACHINE=$work/host-100000/machine
unset STANDIN_CALLS
tool_cmd=("$host_tool") base_cmd=("$host_base")
compare "Linux, stand-in, 100,000 devices"

# 2. The 32-bit exe on Wine's own Setup API, devices planted in a prefix of its own.
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all
unset WINEDLLOVERRIDES STANDIN_MACHINE
bash tests/wine-prefix.sh "$WINEPREFIX"
wineserver -p   # one server for all runs, so that no run pays for starting it
trap 'wineserver -k' EXIT
plant() {
    local count=$1 i
    {
        printf 'REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\FTDIBUS]\n\n'
        for ((i = 0; i < count; i++)); do
            printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+A%07d\\0000]\n' "$i"
            printf '"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"\n\n'
        done
    } > "$work/ports.reg"
    wine regedit /S "$work/ports.reg"
}
tool_cmd=(wine "$win_tool") base_cmd=(wine "$win_base")
for count in 0 500 1000 2000; do
    plant "$count"
    compare "Wine, 32-bit exe, $count devices"
    lines=$(wc -l < "$work/out")
    [ "$lines" -eq $((2 * count + 3)) ] || { echo "expected $((2 * count + 3)) lines, got $lines"; exit 1; }
done
plant 0

# 3. Memory: peak resident set, and heap allocations (valgrind), on 10,000 devices.
echo
bash tests/many-devices.sh 10000 "$work/host-10000"
export STANDIN_MACHINE=$work/host-10000/machine
peak() {
    for ((i = 0; i < 5; i++)); do
        /usr/bin/time -f %M "$1" 2>&1 > /dev/null | tail -1
    done | median
}
allocs() {
    valgrind --tool=memcheck "$1" 2>&1 > /dev/null | grep -oP 'total heap usage: \K[0-9,]+ allocs' | tr -d ,
}
echo "| 10,000 devices, Linux | halvern | baseline |"
echo "|---|---|---|"
echo "| peak resident memory (KiB, median of 5) | $(peak "$host_tool") | $(peak "$host_base") |"
echo "| heap allocations, whole process (valgrind) | $(allocs "$host_tool") | $(allocs "$host_base") |"

# 4. Output: write calls for 10,000 devices, to a file and to a terminal.
strace -c -e trace=write -o "$work/strace" "$host_tool" > "$work/out"
file_writes=$(awk '$NF == "write" { print $4 }' "$work/strace")
bytes=$(stat -c %s "$work/out")
script -qfc "strace -c -e trace=write -o $work/strace-tty $host_tool" /dev/null > /dev/null
tty_writes=$(awk '$NF == "write" { print $4 }' "$work/strace-tty")
echo
echo "Output of 10,000 devices ($bytes bytes, $(wc -l < "$work/out") lines):"
echo "to a file, $file_writes write calls ($(( (bytes + 4095) / 4096 )) blocks of 4096 bytes);"
echo "to a terminal, $tty_writes write calls (one per line)."

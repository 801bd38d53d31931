#!/usr/bin/env bash
# Measures halvern against bench/baseline.c, a plain program making the same calls and
# printing the same lines, so that what halvern adds to the platform's cost shows.
# Runs on demand, never in CI: it takes about five minutes.
#
# usage: bench/run.sh [LINUX-PAIRS [WINE-PAIRS]]     (defaults 101 and 7)
#
# Times are wall-clock medians of runs made in pairs, one of each program, after one
# warm-up pair; the ratio is the median of the pair-by-pair ratios halvern/baseline,
# with the smallest and largest of them. Pairs keep the ratio honest when the
# machine's speed drifts.
set -euo pipefail
cd "$(dirname "$0")/.."
linux_pairs=${1:-101} wine_pairs=${2:-7}
work=$PWD/build/bench
mkdir -p "$work"

for preset in host windows-x86; do
    cmake --preset "$preset" > /dev/null
    cmake --build --preset "$preset" > /dev/null
done
host_tool=$PWD/build/host/halvern host_base=$PWD/build/host/bench/baseline
win_dir=$PWD/build/windows-x86

# run_ns OUT COMMAND...: prints the nanoseconds one run takes, its output going to OUT.
run_ns() {
    local out=$1 start end
    shift
    start=$(date +%s%N)
    "$@" > "$out"
    end=$(date +%s%N)
    echo $((end - start))
}

median() {
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# compare LABEL PAIRS: runs tool_cmd and base_cmd in pairs and prints a table row. The
# pairs alternate which program goes first: with a fixed order, the baseline against
# itself came out 5% off one.
compare() {
    local label=$1 pairs=$2 i a b
    : > "$work/a"; : > "$work/b"; : > "$work/ratio"
    for ((i = 0; i <= pairs; i++)); do
        if ((i % 2 == 0)); then
            a=$(run_ns "$work/out" "${tool_cmd[@]}")
            b=$(run_ns "$work/out-baseline" "${base_cmd[@]}")
        else
            b=$(run_ns "$work/out-baseline" "${base_cmd[@]}")
            a=$(run_ns "$work/out" "${tool_cmd[@]}")
        fi
        [ "$i" -eq 0 ] && continue
        echo "$a" >> "$work/a"
        echo "$b" >> "$work/b"
        awk -v a="$a" -v b="$b" 'BEGIN { printf "%.4f\n", a / b }' >> "$work/ratio"
    done
    cmp -s "$work/out" "$work/out-baseline" || { echo "$label: the outputs differ"; exit 1; }
    printf '| %s | %.1f ms | %.1f ms | %.3f | %.2f to %.2f |\n' "$label" \
        "$(median < "$work/a" | awk '{ print $1 / 1e6 }')" \
        "$(median < "$work/b" | awk '{ print $1 / 1e6 }')" \
        "$(median < "$work/ratio")" "$(sort -g "$work/ratio" | head -1)" \
        "$(sort -g "$work/ratio" | tail -1)"
}

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"\
     "$(free -g | awk '/^Mem/ { print $2 }') GiB, $(wine --version), $(date -u +%F)"
echo
echo '| run | halvern | baseline | ratio (median) | ratio (range) |'
echo '|---|---|---|---|---|'

# 1. Linux build on the stand-in, 100,000 devices, output to a file.
bash tests/many-devices.sh 100000 "$work/linux-100000"
export STANDIN_MACHINE=$work/linux-100000/machine
unset STANDIN_CALLS
tool_cmd=("$host_tool") base_cmd=("$host_base")
compare "Linux, stand-in, 100,000 devices ($linux_pairs pairs)" "$linux_pairs"

# 2. The 32-bit exes on Wine's own Setup API, devices planted in a prefix of its own.
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all
unset WINEDLLOVERRIDES STANDIN_MACHINE
bash tests/wine-prefix.sh "$WINEPREFIX"
wineserver -p   # one server for every run, so that no run pays for starting it
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
tool_cmd=(wine "$win_dir/halvern.exe") base_cmd=(wine "$win_dir/bench/baseline.exe")
: > "$work/probe"
for count in 500 1000 2000; do
    plant "$count"
    compare "Wine, 32-bit exe, $count devices ($wine_pairs pairs)" "$wine_pairs"
    lines=$(wc -l < "$work/out")
    [ "$lines" -eq $((2 * count + 3)) ] || { echo "expected $((2 * count + 3)) lines, got $lines"; exit 1; }
    for ((i = 0; i < 3; i++)); do wine "$win_dir/bench/probe.exe" >> "$work/probe"; done
done
plant 0
echo
echo "Where the time goes on Wine (bench/probe.exe, the same calls timed one by one):"
sed 's/^/    /' "$work/probe"

# 3. Instructions (callgrind: the same count every run) and memory, on Linux.
bash tests/many-devices.sh 10000 "$work/linux-10000"
instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" 2>&1 > /dev/null |
        grep -oP 'Collected : \K[0-9]+'
}
peak() {
    for ((i = 0; i < 5; i++)); do
        /usr/bin/time -f %M "$1" 2>&1 > /dev/null | tail -1
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

# 4. Output: write calls for 10,000 devices, to a file and to a terminal.
strace -c -e trace=write -o "$work/strace" "$host_tool" > "$work/out"
file_writes=$(awk '$NF == "write" { print $4 }' "$work/strace")
bytes=$(stat -c %s "$work/out")
script -qfc "strace -c -e trace=write -o $work/strace-tty $host_tool" /dev/null > /dev/null
tty_writes=$(awk '$NF == "write" { print $4 }' "$work/strace-tty")
echo
echo "Output of 10,000 devices, $bytes bytes in $(wc -l < "$work/out") lines:"\
     "to a file $file_writes write calls ($(( (bytes + 4095) / 4096 )) blocks of 4096 bytes),"\
     "to a terminal $tty_writes (one per line)."

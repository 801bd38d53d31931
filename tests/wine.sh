#!/usr/bin/env bash
# Runs Windows programs under Wine in the build's own prefix. LOADER is the Wine loader
# for the exe's kind: wine for a 32-bit one, wine64 for a 64-bit one, which then needs no
# 32-bit program, and for an ARM64 one the arm64 wine64 that wine-arm64.sh makes; the
# prefix is made by it, and its server is the wineserver beside it.
#
# usage: wine.sh LOADER PREFIX --start   make the prefix if there is none, then start its
#                                        server for good, and Wine's services with it
#                                        (each try, --start-once, bounded)
#        wine.sh LOADER PREFIX --stop    end the server and every process of the prefix
#        wine.sh LOADER PREFIX PROGRAM ARGS...    run PROGRAM under LOADER (below)
#        wine.sh LOADER PREFIX --import REG COMMAND...
#                      import REG into the prefix's registry (planting or removing
#                      devices), then run COMMAND with no DLL override
# The prefix is made by whichever comes first, with no DLL override: Wine's setup needs
# its own setupapi.dll. doc/testing.md (Under Wine) says why one server serves a run.
set -eu
loader=$1
export WINEPREFIX=$2
shift 2
export WINEDEBUG=${WINEDEBUG:--all}
server=$(dirname "$loader")/wineserver
mkdir -p "$(dirname "$WINEPREFIX")"

# The processes whose environment names this prefix: the server, Wine's services and
# any program still running in it; not this script, nor what it runs to ask.
prefix_processes() {
    perl -e '
        my %mine; my $pid = $$;
        while ($pid > 1) {
            $mine{$pid} = 1;
            open(my $stat, "<", "/proc/$pid/stat") or last;
            ($pid) = (<$stat> =~ /\) \S (\d+)/);
        }
        for my $dir (glob "/proc/[0-9]*") {
            my ($pid) = $dir =~ /(\d+)$/;
            next if $mine{$pid} or !open(my $env, "<", "$dir/environ");
            local $/ = "\0";
            print "$pid\n" if grep { $_ eq "WINEPREFIX=$ARGV[0]\0" } <$env>;
        }' "$WINEPREFIX"
}

# Under qemu, a start once ran past its test's timeout in a fresh root, the cause not
# found. So each try is bounded: one that does not finish is said, with Wine's log and
# whatever still runs in the prefix (--stop names and ends it), and made once more.
if [ "${1:-}" = --start ]; then
    bound=240
    for try in 1 2; do
        status=0
        timeout "$bound" bash "$0" "$loader" "$WINEPREFIX" --start-once || status=$?
        [ "$status" = 124 ] || exit "$status"
        echo "Wine's start in $WINEPREFIX did not finish in $bound s (try $try of 2); its log ends:"
        tail -n 20 "$WINEPREFIX.log" 2> /dev/null || true
        bash "$0" "$loader" "$WINEPREFIX" --stop || true
    done
    exit 1
fi

# A prefix made by another Wine is made anew: Wine's update in place once hung for good
# under qemu.
exec 9> "$WINEPREFIX.lock"
flock 9
made_by=$(readlink -f "$loader")
if [ "${1:-}" != --stop ] &&
   { [ ! -f "$WINEPREFIX/system.reg" ] || [ "$(cat "$WINEPREFIX.loader" 2> /dev/null)" != "$made_by" ]; }; then
    rm -rf "$WINEPREFIX"
    env -u WINEDLLOVERRIDES WINEDEBUG=-all "$loader" wineboot --init
    "$server" --wait
    echo "$made_by" > "$WINEPREFIX.loader"
fi
exec 9>&-

[ $# -gt 0 ] || exit 0
case $1 in
--start-once)
    # A server left by GoogleTest's listing goes first.
    "$server" --kill 2> /dev/null || true
    "$server" --wait 2> /dev/null || true
    # They outlive this script, so they log to a file: ctest reads its output until the
    # last writer has closed it.
    log=$WINEPREFIX.log
    "$server" --persistent > "$log" 2>&1
    env -u WINEDLLOVERRIDES "$loader" wineboot >> "$log" 2>&1 ||
        { echo "Wine could not start its services in $WINEPREFIX:"; cat "$log"; exit 1; }
    ;;
--stop)
    "$server" --kill 2> /dev/null || true
    "$server" --wait 2> /dev/null || true
    left=$(prefix_processes)
    if [ -n "$left" ]; then
        echo "still running in $WINEPREFIX after its server ended, killed:"
        ps -o pid=,args= -p "$(paste -sd, <<< "$left")" || true
        mapfile -t pids <<< "$left"
        kill -KILL "${pids[@]}" 2> /dev/null || true
        for ((i = 0; i < 50; i++)); do
            [ -n "$(prefix_processes)" ] || exit 0
            sleep 0.1
        done
        echo "and still there five seconds after SIGKILL:"
        ps -o pid=,stat=,args= -p "$(prefix_processes | paste -sd,)" || true
        exit 1
    fi
    ;;
--import)
    unset WINEDLLOVERRIDES
    # No Wine program is handed the test's own output: once, ctest waited for good on a
    # test that had ended, its output pipe held by the prefix's server and services.
    # The cases that import take turns, so one log beside the prefix serves them all.
    log=$WINEPREFIX.regedit.log
    "$loader" regedit /S "$2" > "$log" 2>&1 ||
        { echo "regedit could not import $2:"; cat "$log"; exit 1; }
    shift 2
    exec "$@"
    ;;
*)
    # A run in which Wine could not set up a process ("err:virtual:... failed to map
    # the shared user data") is Wine's failure, not the program's: it is made once more,
    # and said. Output is kept until the run has ended.
    out=$(mktemp) err=$(mktemp)
    trap 'rm -f "$out" "$err"' EXIT
    status=0
    "$loader" "$@" > "$out" 2> "$err" || status=$?
    if grep -qa 'err:virtual:.*failed to map' "$err"; then
        echo "Wine could not start a process ($(grep -am1 'err:virtual:' "$err")); running it again" >&2
        status=0
        "$loader" "$@" > "$out" 2> "$err" || status=$?
    fi
    cat "$out"
    cat "$err" >&2
    exit "$status"
    ;;
esac

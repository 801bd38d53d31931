#!/usr/bin/env bash
# Runs halvern on one case, a folder doc/testing.md describes (The cases), and compares
# what came of it with what the case expects.
#
# usage: run-case.sh CASE OUTPUT EOL VERSION COMMAND...
#   OUTPUT  file, pipe, closed-pipe or full (/dev/full): where standard output goes.
#           With the last two the text is lost; the status and the calls still count.
#   EOL     lf, or crlf for the Windows build
#   COMMAND runs the tool, an emulator first if there is one
set -u
export LC_ALL=C
case_dir=$1 output=$2 eol=$3 version=$4
shift 4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export STANDIN_CALLS="$work/calls"
unset STANDIN_MACHINE
if [ -f "$case_dir/machine" ]; then export STANDIN_MACHINE="$case_dir/machine"; fi
args=()
if [ -f "$case_dir/args" ]; then mapfile -t args < "$case_dir/args"; fi

run() {
    rm -f "$work/calls"
    case $output in
    file) "$@" "${args[@]}" > "$work/stdout" 2> "$work/stderr" ;;
    pipe)
        { "$@" "${args[@]}" 2> "$work/stderr"; echo $? > "$work/status"; } | cat > "$work/stdout"
        return "$(cat "$work/status")" ;;
    closed-pipe)
        # A pipe whose reading end is closed before the tool starts, with SIGPIPE at its
        # default action as a shell would leave it.
        perl -e '$SIG{PIPE} = "DEFAULT"; pipe(my $r, my $w) or die; close $r;
                 open(STDOUT, ">&", $w) or die; close $w; exec @ARGV or die' \
            -- "$@" "${args[@]}" 2> "$work/stderr" ;;
    full) "$@" "${args[@]}" > /dev/full 2> "$work/stderr" ;;
    *) echo "unknown output $output"; exit 2 ;;
    esac
}

# Wine's own lines on standard error ("wine: ...", "0024:err:...") go to a file of their
# own, shown when the case fails; what is left is the tool's. A start in which Wine could
# not set up the process, before any of the program ran, is made once more, and said.
wine_line='^(wine: |([0-9a-f]{4,8}:)?(err|fixme|warn|trace):)'
run "$@"
status=$?
if [ ! -s "$work/calls" ] && [ ! -s "$work/stdout" ] &&
    grep -qa 'err:virtual:.*failed to map' "$work/stderr"; then
    echo "Wine could not start the program ($(grep -am1 'err:virtual:' "$work/stderr")); running it again"
    run "$@"
    status=$?
fi
grep -aE "$wine_line" "$work/stderr" > "$work/wine" 2> /dev/null
grep -avE "$wine_line" "$work/stderr" > "$work/tool-stderr" 2> /dev/null
mv "$work/tool-stderr" "$work/stderr"

failed=0
compare() {
    local what=$1 expected=$2 got=$3
    cmp -s "$expected" "$got" && return
    echo "$what differs (< expected, > got):"
    diff -a "$expected" "$got" | head -c 4000
    echo
    failed=1
}
expected_status=$(cat "$case_dir/status")
if [ "$status" != "$expected_status" ]; then
    echo "exit status: expected $expected_status, got $status"
    failed=1
fi
if [ -s "$work/stderr" ]; then
    echo "standard error is not used, but it got:"
    head -c 2000 "$work/stderr"
    failed=1
fi
if [ "$output" = file ] || [ "$output" = pipe ]; then
    sed "s/@VERSION@/$version/" "$case_dir/stdout" > "$work/expected"
    if [ "$eol" = crlf ]; then sed -i 's/$/\r/' "$work/expected"; fi
    compare "standard output" "$work/expected" "$work/stdout"
fi
if [ -f "$case_dir/calls" ]; then
    [ -f "$work/calls" ] || : > "$work/calls"
    if [ "$output" = file ]; then
        perl -e '
            my ($template, $version, $eol) = @ARGV;
            open(my $in, "<:raw", $template) or die "$template: $!";
            my $text = do { local $/; <$in> };
            # A position in the case stdout file, as one in the real output (the
            # version put in, CR LF line ends); each is counted on from the last.
            my ($from, $length) = (0, 0);
            sub real {
                my $to = shift;
                ($from, $length) = (0, 0) if $to < $from;
                my $piece = substr($text, $from, $to - $from);
                $piece =~ s/\@VERSION\@/$version/g;
                $piece =~ s/\n/\r\n/g if $eol eq "crlf";
                ($from, $length) = ($to, $length + length($piece));
                return $length;
            }
            while (<STDIN>) { s/^\[stdout (\d+)\]/"[stdout " . real($1) . "]"/e; print }
        ' "$case_dir/stdout" "$version" "$eol" < "$case_dir/calls" > "$work/expected-calls"
    else
        sed 's/^\[stdout [^]]*\] //' "$case_dir/calls" > "$work/expected-calls"
        sed -i 's/^\[stdout [^]]*\] //' "$work/calls"
    fi
    compare "the device-service calls" "$work/expected-calls" "$work/calls"
fi
if [ "$failed" = 1 ]; then
    # Whose failure: Wine says when it cannot load or start a program, the stand-in when
    # it gives up, and a program with no output and no call never reached the tool.
    if grep -qE '^wine: |:err:module:|err:virtual:.*failed to map' "$work/wine"; then
        echo "verdict: Wine's failure: it could not load or start the program (its lines are below)"
    elif grep -q '^standin: ' "$work/stderr"; then
        echo "verdict: the stand-in's failure (its line is above)"
    elif [ ! -s "$work/calls" ] && { [ ! -s "$work/stdout" ] || [ "$output" = closed-pipe ] || [ "$output" = full ]; }; then
        echo "verdict: the tool never ran (no output, no device-service call): Wine failed to start it, or it died before its first line"
    else
        echo "verdict: the tool's failure: it ran and did not do what the case expects"
    fi
    if [ -s "$work/wine" ]; then
        echo "Wine said on standard error:"
        head -c 4000 "$work/wine"
    fi
fi
exit $failed

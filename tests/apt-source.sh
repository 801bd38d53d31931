#!/usr/bin/env bash
# The one place that reads the host's Debian release and its configured Debian source
# (URI and keyring), from which any apt line this project adds is made, so that a host
# whose apt goes through a mirror or proxy of its own keeps going through it.
#
# usage: apt-source.sh TYPE [SUITE]   (root) add TYPE (deb or deb-src) for SUITE (the
#                                     host's release by default) if apt lacks it, saying so
#        apt-source.sh --show [SUITE] print the URI and keyring ("-" for none) for SUITE
#        apt-source.sh --codename     print the host's release, e.g. bookworm
#        apt-source.sh --update       apt-get update (root, but for an apt state of
#                                     the caller's own, APT_CONFIG), tried three times
#                                     half a minute apart; still failing, one line saying so
# Exits 1 with one line on standard error when the host has no Debian source.
set -u
type=${1:-}
# A registry in the middle of a sync serves for a while an index that does not match
# its release file. An index that fails to download is an error (--error-on=any), never
# one to go on with, as apt would, partial or old.
if [ "$type" = --update ]; then
    for try in 1 2 3; do
        apt-get update --error-on=any && exit 0
        [ $try = 3 ] || { echo "apt-get update failed (try $try of 3); trying again in 30 s" >&2; sleep 30; }
    done
    echo "The package registry's index failed to download (apt-get update, above, 3 tries): the registry's fault, not this project's; try again later." >&2
    exit 1
fi
codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
if [ "$type" = --codename ]; then
    [ -n "$codename" ] || { echo "/etc/os-release names no release" >&2; exit 1; }
    echo "$codename"
    exit 0
fi
suite=${2:-$codename}
[ "$type" != --show ] || codename=$suite

# Every configured entry, one a line: "TYPE URI SUITE SIGNED-BY", from deb822 and
# one-line files alike.
entries() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk 'function flush(   t, u, s, i, j, k) {
                 if (enabled != "no")
                     for (i in types) for (j in uris) for (k in suites)
                         print types[i], uris[j], suites[k], (signed == "" ? "-" : signed)
                 delete types; delete uris; delete suites; signed = ""; enabled = ""
             }
             /^[[:space:]]*#/ { next }
             /^[[:space:]]*$/ { flush(); next }
             { field = tolower($1); sub(/:$/, "", field); $1 = "" }
             field == "types" { split($0, types) }
             field == "uris" { split($0, uris) }
             field == "suites" { split($0, suites) }
             field == "signed-by" { signed = $2 }
             field == "enabled" { enabled = tolower($2) }
             END { flush() }' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk '$1 != "deb" && $1 != "deb-src" { next }
             { signed = "-"; i = 2
               if ($2 ~ /^\[/) {
                   for (; i <= NF; i++) {
                       if ($i ~ /signed-by=/) { signed = $i; sub(/.*signed-by=/, "", signed); sub(/\]$/, "", signed) }
                       if ($i ~ /\]$/) { i++; break }
                   }
               }
               print $1, $i, $(i + 1), signed }' "$file"
    done
}

all=$(entries)
if [ "$type" != --show ] && awk -v t="$type" -v s="$suite" '$1 == t && $3 == s { found = 1 } END { exit !found }' <<< "$all"; then
    exit 0
fi
# The host's Debian archive: the URI of its entry for the release itself.
read -r uri signed < <(awk -v s="$codename" '$1 == "deb" && $3 == s { print $2, $4; exit }' <<< "$all")
if [ -z "${uri:-}" ]; then
    if [ "$type" = --show ]; then
        echo "apt has no Debian source for $codename." >&2
    else
        echo "apt has no Debian source for $codename to make a $type line for $suite from; add one, or add that line by hand." >&2
    fi
    exit 1
fi
if [ "$type" = --show ]; then
    echo "$uri $signed"
    exit 0
fi
file=/etc/apt/sources.list.d/halvern-$suite-$type.sources
{
    echo "Types: $type"
    echo "URIs: $uri"
    echo "Suites: $suite"
    echo "Components: main"
    [ "$signed" = - ] || echo "Signed-By: $signed"
} > "$file" || exit 1
echo "Added $type for $suite from $uri, the host's own Debian source, in $file."

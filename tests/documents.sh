#!/usr/bin/env bash
# Checks that what the documents name exists in the tree, taking the names from the
# documents themselves (every *.md outside build/, and doc/README.txt, the one the zips
# carry): prose is left to review.
#
# - Paths: a name in backticks or on an indented code line whose first part is an
#   entry at the top of the tree (or beside the document) must exist; a glob must
#   match. A built program stands for its source: bench/probe.exe for bench/probe.cpp.
#   A folder named as such (`src/`) must exist wherever its name begins.
# - Links: [text](target#anchor) must name a file, and a heading in it.
# - Presets: `--preset P` must be a preset of the kind its command takes
#   (cmake --list-presets).
# - Script options: `SCRIPT.sh WORD` or `SCRIPT.sh --WORD`: the script must know WORD.
# - Zips: halvern-VERSION-SYSTEM.zip must name a system the build packs
#   (CPACK_SYSTEM_NAME in CMakeLists.txt).
# - Test names: a name followed by "test"/"tests" or after "test", a name under a test
#   family (`wine/start`, `memcheck/<case>`), and ctest's `-R 'NAME'` must match a test
#   that tests/CMakeLists.txt adds; a case name must be a case folder.
# - Script and build-file comments that name a section on one line, "doc/X.md
#   (Section)" or "(doc/X.md, Section)", must name a heading of that document.
#
# usage: documents.sh TOP [CMAKE]     prints what it checked; exit 1 naming each miss
set -uo pipefail
top=$(cd "${1:?usage: documents.sh TOP [CMAKE]}" && pwd)
cmake=${2:-cmake}
cd "$top" || exit 1

failures=0 checked=0
miss() { echo "$1: names $2, which the tree lacks ($3)"; failures=$((failures + 1)); }

mapfile -t documents < <(find . -path ./build -prune -o -path ./.git -prune -o \
    -path '*/node_modules' -prune -o \( -name '*.md' -o -path ./doc/README.txt \) -type f -print |
    sed 's|^\./||' | sort)
[ ${#documents[@]} -gt 0 ] || { echo "no documents found under $top"; exit 1; }

# The presets, by kind: "configure host", "test memcheck", ...
presets=$("$cmake" --list-presets=all 2>&1 |
    awk '/^Available .* presets:/ { kind = $2 } /^  "/ { gsub(/"/, "", $1); print kind, $1 }')
[ -n "$presets" ] || { echo "cmake --list-presets found no presets in $top"; exit 1; }

# The systems the Windows zips are packed for: win32, ...
systems=$(sed -n 's/^ *set(CPACK_SYSTEM_NAME \([a-z0-9]*\))$/\1/p' CMakeLists.txt | sort)
[ -n "$systems" ] || { echo "CMakeLists.txt sets no CPACK_SYSTEM_NAME this script can read"; exit 1; }

# The tests tests/CMakeLists.txt adds, as globs: a CMake variable matches anything.
mapfile -t tests < <(grep -oP '(add_test\(NAME|add_case\(|add_checker\(|skip_test\(|TEST_PREFIX) *\K[^ )]+' \
    tests/CMakeLists.txt | sed -E "s|^standin/\$|standin/\${name}|" | grep -vxF "\${name}" | sort -u)
[ ${#tests[@]} -gt 0 ] || { echo "tests/CMakeLists.txt adds no tests this script can read"; exit 1; }

families=$(printf '%s\n' "${tests[@]}" | sed -n 's|^\([a-z][a-z-]*\)/.*|\1|p' | sort -u)

headings() { sed -n 's/^#\{1,6\} //p' "$1"; }
# GitHub's anchors for a document's headings, one a line.
anchors() { headings "$1" | tr '[:upper:]' '[:lower:]' | sed -E 's/[^a-z0-9 _-]//g; s/ /-/g'; }

is_test() {
    local name=${1//\*/x} pattern rest found=
    name=$(sed -E 's/<[^>]*>/x/g' <<< "$name")
    for pattern in "${tests[@]}"; do
        # shellcheck disable=SC2053 # the pattern is a glob, as intended
        [[ $name == ${pattern//\$\{*\}/*} ]] || continue
        if [[ $pattern == *"\${case}" ]]; then
            rest=${name#"${pattern%%\$\{case\}}"}
            [ "$rest" = x ] || [ -d "tests/cases/$rest" ] || [ -d "tests/wine/$rest" ] || continue
        fi
        found=1
    done
    [ -n "$found" ]
}

check_test() {
    checked=$((checked + 1))
    is_test "$2" || miss "$1" "the test \`$2\`" "no test in tests/CMakeLists.txt has that name"
}

# Whether a script takes WORD as an option or command: a case arm, or a comparison,
# outside its comments.
knows() {
    local arms
    arms=$(grep -v '^[[:space:]]*#' "$1" |
        grep -cE -- "(^|[[:space:]|(])\"?$2\"?[[:space:]]*[)|]|[!=]=? \"?$2\"?([[:space:]]|\]|\$)")
    [ "$arms" -gt 0 ]
}

# A name with a slash whose first part names something in the tree, or beside the
# document, is a path.
check_path() {
    local doc=$1 name=$2 dir first base
    dir=$(dirname "$doc")
    first=${name%%/*}
    name=${name%%[,;:.]}
    case $name in /* | ~* | '$'* | -* | build/* | *'<'* | *"\${"*) return 1 ;; esac
    if [ -e "$first" ]; then base=.
    elif [ "$dir" != . ] && [ -e "$dir/$first" ]; then base=$dir
    elif [[ $name == */ && $name != */*/ ]]; then base=.
    else return 1
    fi
    checked=$((checked + 1))
    if [[ $name == *[*?[]* ]]; then
        compgen -G "$base/$name" > /dev/null && return 0
    elif [ -e "$base/$name" ]; then
        return 0
    fi
    case $name in
    *.exe | */[a-z]*[a-z0-9])
        compgen -G "$base/${name%.exe}.c*" > /dev/null && return 0 ;;
    esac
    miss "$doc" "\`$name\`" "no such file"
    return 0
}

check_words() {
    local doc=$1 line=$2 word next command=() kind
    read -ra words <<< "$line"
    for ((i = 0; i < ${#words[@]}; i++)); do
        word=${words[i]}
        next=${words[i + 1]:-}
        [ "$word" = '#' ] && break
        case $word in
        --preset | --preset=*)
            [ "$word" = --preset ] || next=${word#--preset=}
            [[ $next =~ ^[A-Z]+$ ]] && continue
            case "${command[*]}" in
            *'cmake --workflow'*) kind=workflow ;;
            *'cmake --build'*) kind=build ;;
            *ctest*) kind='test' ;;
            *cpack*) kind=package ;;
            *) kind=configure ;;
            esac
            checked=$((checked + 1))
            grep -qxF "$kind $next" <<< "$presets" ||
                miss "$doc" "the $kind preset \`$next\`" "not in CMakePresets.json"
            ;;
        -R)
            next=${next//\'/}
            next=${next#^}
            check_test "$doc" "${next%\$}"
            ;;
        *.sh | .ci/run)
            if [ -f "$word" ] && [[ $next =~ ^(--)?[a-z][a-z-]*$ ]]; then
                checked=$((checked + 1))
                knows "$word" "$next" ||
                    miss "$doc" "\`$word $next\`" "the script takes no $next"
            fi
            ;;
        esac
        case $word in cmake | ctest | cpack | --build | --workflow) command+=("$word") ;; esac
        case $word in '&&' | '||' | ';' | '|') command=() ;; esac
        [[ $word == */* ]] && check_path "$doc" "$word"
    done
}

for doc in "${documents[@]}"; do
    dir=$(dirname "$doc")
    spans=$(grep -oE "\`[^\`]+\`" "$doc" | tr -d "\`"; grep -E '^    ' "$doc")
    while IFS= read -r span; do
        [ -n "$span" ] && check_words "$doc" "$span"
    done <<< "$spans"

    # Test names: said to be tests, or under a test family that is no path.
    while IFS= read -r name; do
        awk -v name="$name" '$2 == name { found = 1 } END { exit !found }' <<< "$presets" && continue
        check_test "$doc" "$name"
    done < <(tr '\n' ' ' < "$doc" | grep -oE "(tests? )\`[^\`]+\`|\`[^\`]+\`( tests?\\b)" |
        sed -E 's/^tests? //; s/ tests?$//' | tr -d "\`" | grep -E '^[a-z][a-z0-9/*<>-]*$')
    while IFS= read -r name; do
        first=${name%%/*}
        [ -e "$first" ] || [ -e "$dir/$first" ] && continue
        grep -qxF "$first" <<< "$families" && check_test "$doc" "$name"
    done < <(grep -oE "\`[a-z][a-z-]*/[^\` ]*\`" "$doc" | tr -d "\`")

    while IFS= read -r system; do
        checked=$((checked + 1))
        grep -qxF "$system" <<< "$systems" ||
            miss "$doc" "the zip for \`$system\`" "the build packs none, only $(paste -sd' ' <<< "$systems")"
    done < <(grep -oE 'halvern-[^ `"/]+\.zip' "$doc" | sed -E 's/.*-([^-]*)\.zip$/\1/')

    while IFS= read -r target; do
        file=${target%%#*}
        anchor=${target:${#file}+1}
        [ -n "$file" ] && file=$dir/$file || file=$doc
        checked=$((checked + 1))
        if [ ! -e "$file" ]; then
            miss "$doc" "the link ($target)" "no such file"
        elif [ -n "$anchor" ] && [ -f "$file" ]; then
            grep -qxF -- "$anchor" <<< "$(anchors "$file")" ||
                miss "$doc" "the link ($target)" "no such heading"
        fi
    done < <(grep -oE '\]\([^)]+\)' "$doc" | sed -E 's/^\]\(//; s/\)$//' | grep -vE '^[a-z]+:')
done

# Comments that point to a section of a document.
while IFS=: read -r file _ document section; do
    checked=$((checked + 1))
    headings "$document" 2> /dev/null | grep -cxF "$section" > /dev/null ||
        miss "$file" "the section \"$section\" of $document" "no such heading"
done < <(grep -rnoE --exclude-dir=build --exclude-dir=.git --exclude-dir=node_modules \
        --include='*.sh' --include='*.cmake' --include=CMakeLists.txt --include=run \
        'doc/[a-z]+\.md(, | \()[A-Z][^),]*\)' . |
    sed -E 's|^\./||; s/^([^:]+:[0-9]+):(doc\/[a-z]+\.md)(, | \()/\1:\2:/; s/\)$//')

echo "documents: ${#documents[@]} documents, $checked names checked, $failures missing"
[ "$failures" = 0 ]

#!/bin/bash
# check_layers.sh COMPILER INCLUDES-FOLDER RULES SOURCE-ROOT
# For each rule "library header yes|no", compiles a file that includes the
# header with the library's include folders (INCLUDES-FOLDER/<library>.txt).
# "yes" must compile; "no" must fail because the header is not found, not
# for any other reason.
# A quoted include is looked for beside the including file before the include
# folders, so "../documents/cmlPolicy.h" from cml/core would reach a higher
# layer past the folders the probes test: no include of the sources may climb
# to a parent folder.
set -uo pipefail
compiler=$1 includes=$2 rules=$3 sources=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0 checked=0
climbing=$(cd "$sources" && grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]([^">]*/)?\.\.(/|[">])' \
    --include='*.c' --include='*.cpp' --include='*.h' src apps include bench fuzz tests)
if [ -n "$climbing" ]; then
    echo "includes that climb to a parent folder (name the header from an include folder instead):"
    echo "$climbing"
    failures=$((failures + $(wc -l <<<"$climbing")))
fi
while read -r library header expected; do
    case "$library" in '' | '#'*) continue ;; esac
    flags=()
    while read -r folder; do [ -n "$folder" ] && flags+=("-I$folder"); done <"$includes/$library.txt"
    printf '#include "%s"\n' "$header" >"$scratch/probe.cpp"
    if "$compiler" -std=c++17 -fsyntax-only "${flags[@]}" "$scratch/probe.cpp" >"$scratch/out" 2>&1; then
        outcome=yes
    elif grep -q "No such file or directory" "$scratch/out"; then
        outcome=no
    else
        outcome="error: $(head -3 "$scratch/out")"
    fi
    checked=$((checked + 1))
    if [ "$outcome" != "$expected" ]; then
        echo "$library including $header: expected $expected, got $outcome"
        failures=$((failures + 1))
    fi
done <"$rules"
echo "$checked includes checked, $failures wrong"
[ "$checked" -gt 0 ] && [ "$failures" -eq 0 ]

#!/bin/bash
# Files a reader can hold: no file over 800 lines and no function over 80
# lines in the sources (tests excepted). A function is counted from the line
# that names it to the line where its body closes; lambdas are functions of
# their own. Functions are found by Universal Ctags, a parser that knows
# C++ (default arguments, braced initialisers, lambdas at namespace scope),
# not by patterns over the text.
#   check_sizes.sh [--report] ROOT
set -euo pipefail
report=0
if [ "${1:-}" = "--report" ]; then report=1; shift; fi
root=${1:-.}
if ! ctags --version 2>/dev/null | grep -q "Universal Ctags"; then
    echo "check_sizes.sh needs Universal Ctags (Debian package universal-ctags)" >&2
    exit 2
fi
status=0
cd "$root"
list=$(mktemp)
trap 'rm -f "$list"' EXIT
for folder in src apps bench fuzz include; do
    [ -d "$folder" ] && find "$folder" -name '*.cpp' -o -name '*.h' -o -name '*.c'
done | sort >"$list"
if [ ! -s "$list" ]; then
    echo "no sources found under $root" >&2
    exit 2
fi
while read -r file; do
    lines=$(wc -l <"$file")
    if [ "$lines" -gt 800 ]; then
        echo "file over 800 lines: $file ($lines)"
        status=1
    fi
done <"$list"
# One line a function definition: file, first line, last line, name. A
# definition whose end the parser could not find fails too, so that nothing
# it misreads passes unseen.
ctags -L "$list" --languages=C,C++ --kinds-C=f --kinds-C++=f --fields=+ne \
    -x --_xformat='%F %n %e %N' -o - |
    awk '
        $3 !~ /^[0-9]+$/ { printf "function without an end: %s:%s %s\n", $1, $2, $4; bad = 1; next }
        $3 - $2 + 1 > 80 {
            name = $4; sub(/^__anon.*/, "(lambda)", name)
            printf "function over 80 lines: %s:%d (%d lines) %s\n", $1, $2, $3 - $2 + 1, name; bad = 1
        }
        END { exit bad }
    ' || status=1
if [ "$report" -eq 1 ]; then exit 0; fi
exit $status

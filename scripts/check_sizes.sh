#!/bin/bash
# Files a reader can hold: no file over 800 lines and no function over 80
# lines in the sources (tests excepted). A function is counted from the line
# where its body opens to the line where it closes.
#   check_sizes.sh [--report] ROOT
set -euo pipefail
report=0
if [ "${1:-}" = "--report" ]; then report=1; shift; fi
root=${1:-.}
status=0
cd "$root"
files=$(find src apps bench fuzz include -name '*.cpp' -o -name '*.h' -o -name '*.c' | sort)
for file in $files; do
    lines=$(wc -l <"$file")
    if [ "$lines" -gt 800 ]; then
        echo "file over 800 lines: $file ($lines)"
        status=1
    fi
done
# shellcheck disable=SC2086
awk '
    # Braces are told apart by what opens them: namespaces and linkage
    # blocks are transparent, class bodies hold functions, a brace after a
    # parameter list opens a function, any other brace opens a block.
    FNR == 1 { top = 0; text = "" }
    {
        line = $0
        gsub(/"([^"\\]|\\.)*"/, "\"\"", line)
        gsub(/'"'"'([^'"'"'\\]|\\.)*'"'"'/, "0", line)
        sub(/\/\/.*$/, "", line)
        if (line ~ /^[ \t]*#/) next
        for (i = 1; i <= length(line); i++) {
            c = substr(line, i, 1)
            if (c == "{") {
                infn = 0
                for (k = 1; k <= top; k++) if (kind[k] == "fn") infn = 1
                if (infn) kind[++top] = "block"
                else if (text ~ /(^|[^A-Za-z0-9_])(namespace|extern)([^A-Za-z0-9_]|$)/) kind[++top] = "ns"
                else if (text ~ /(^|[^A-Za-z0-9_])(class|struct|union|enum)([^A-Za-z0-9_]|$)/ && text !~ /\)/) kind[++top] = "type"
                else if (text ~ /\)/ && text !~ /=[^=]*$/) { kind[++top] = "fn"; from[top] = FNR; name[top] = text }
                else kind[++top] = "block"
                text = ""
            } else if (c == "}") {
                if (top > 0 && kind[top] == "fn") {
                    size = FNR - from[top] + 1
                    if (size > 80) {
                        gsub(/^[ \t]+|[ \t]+$/, "", name[top]); gsub(/[ \t]+/, " ", name[top])
                        printf "function over 80 lines: %s:%d (%d lines) %.100s\n", FILENAME, from[top], size, name[top]
                        over = 1
                    }
                }
                if (top > 0) top--
                text = ""
            } else if (c == ";") {
                text = ""
            } else {
                text = text c
            }
        }
        text = text " "
    }
    END { exit over }
' $files || status=1
if [ "$report" -eq 1 ]; then exit 0; fi
exit $status

#!/bin/bash
# Runs the examples of the docs as a reader would: every fenced block of
# README.md and docs/*.md whose info string is "sh example" or "c example"
# (optionally followed by a file name). The blocks of one file run in order
# in one shell, from the repository's folder, with HOME a scratch folder and
# the build's simulator on the PATH; a C block with a file name is written to
# that file where it stands, one without is compiled on its own.
#   run_examples.sh SOURCE-DIR BUILD-DIR
# A reader installs "build", the folder scripts/test builds; here
# `cmake --install build` installs BUILD-DIR instead, so a sanitizer-free tree
# of any name (or a second worktree's) is the one whose examples run. The
# examples start their simulators on free ports and wait for them with a
# bound; each file's examples together get a bound too.
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
seconds_per_file=90
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
total=0
for doc in "$source_dir/README.md" "$source_dir"/docs/*.md; do
    script="$scratch/$(basename "$doc").sh"
    awk -v include="$source_dir/include" -v scratch="$scratch" -v build="$build" '
        BEGIN { n = 0 }
        /^```(sh|c) example( [^ ]+)?$/ {
            kind = $2 == "example" ? substr($1, 4) : ""; name = $3; inside = 1; n++
            if (kind == "c" && name != "") print "cat >" name " <<'"'"'OVX_EXAMPLE_EOF'"'"'"
            else if (kind == "c") print "cat >" scratch "/example-" n ".c <<'"'"'OVX_EXAMPLE_EOF'"'"'"
            else print "# example " n
            next
        }
        inside && /^```$/ {
            if (kind == "c") {
                print "OVX_EXAMPLE_EOF"
                if (name == "") print "cc -std=c99 -Wall -Werror -fsyntax-only -I" include " " scratch "/example-" n ".c"
            }
            inside = 0; next
        }
        inside && kind == "sh" { gsub(/cmake --install build /, "cmake --install '"'"'" build "'"'"' ") }
        inside { print }
        END { if (inside) { print "echo unterminated example >&2; exit 1" } }
    ' "$doc" >"$script.body"
    count=$(grep -cE '^```(sh|c) example' "$doc" || true)
    [ "$count" -eq 0 ] && continue
    home="$scratch/home-$(basename "$doc" .md)"
    mkdir -p "$home"
    {
        echo 'set -euo pipefail'
        # Whatever an example left running in the background goes with it,
        # also when the bound below stops the examples.
        echo 'trap '"'"'kill $(jobs -p) 2>/dev/null || true'"'"' EXIT'
        echo 'trap '"'"'exit 124'"'"' TERM'
        cat "$script.body"
    } >"$script"
    echo "== $(basename "$doc"): $count examples"
    (cd "$source_dir" && env HOME="$home" PATH="$build/apps/agent-manager-sim:$PATH" timeout "$seconds_per_file" bash "$script") ||
        { echo "an example of $(basename "$doc") failed"; exit 1; }
    total=$((total + count))
done
for needed in quick-start.md simulator.md; do
    grep -qE '^```(sh|c) example' "$source_dir/docs/$needed" || { echo "docs/$needed has no examples"; exit 1; }
done
echo "$total examples ran"

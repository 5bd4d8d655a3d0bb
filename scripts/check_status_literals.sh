#!/bin/bash
# Every status code is named in include/ovxStatus.h and used by that name: a
# code written out as a number elsewhere drifts from the catalog unseen.
# Fails on a 0x4... or 0xC... literal of eight hex digits outside the header,
# the catalog and the tests. In a git checkout the files git knows (and the
# new ones it does not ignore) are read; anywhere else, a source package or
# an unpacked tarball, every source file below the folders is.
#   check_status_literals.sh ROOT
set -euo pipefail
cd "${1:-.}"
folders=(src apps include bench fuzz)
list=$(mktemp)
trap 'rm -f "$list"' EXIT
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -co --exclude-standard "${folders[@]}" >"$list"
else
    for folder in "${folders[@]}"; do
        [ -d "$folder" ] && find "$folder" -type f
    done >"$list"
fi
sources=$(mktemp)
trap 'rm -f "$list" "$sources"' EXIT
grep -E '\.(c|cpp|h)$' "$list" | grep -vx 'include/ovxStatus.h' |
    while read -r file; do [ -f "$file" ] && echo "$file"; done >"$sources" || true
if [ ! -s "$sources" ]; then
    echo "no sources found under $(pwd)" >&2
    exit 2
fi
# grep answers 1 when nothing matches, 2 when it could not read a file: only
# the first is a pass.
mapfile -t files <"$sources"
found=$(grep -nEi '\b0x[4c][0-9a-f]{7}u?\b' -- "${files[@]}") && rc=0 || rc=$?
if [ "$rc" -gt 1 ]; then
    echo "could not read the sources" >&2
    exit 2
fi
if [ -n "$found" ]; then
    echo "status codes written as numbers (use the names of include/ovxStatus.h):"
    echo "$found"
    exit 1
fi

#!/bin/bash
# Every status code is named in include/ovxStatus.h and used by that name: a
# code written out as a number elsewhere drifts from the catalog unseen.
# Fails on a 0x4... or 0xC... literal of eight hex digits outside the header,
# the catalog and the tests.
#   check_status_literals.sh ROOT
set -euo pipefail
cd "${1:-.}"
found=$(git ls-files -co --exclude-standard src apps include bench fuzz |
    grep -E '\.(c|cpp|h)$' | grep -vx 'include/ovxStatus.h' |
    while read -r file; do [ -f "$file" ] && echo "$file"; done |
    xargs grep -nEi '\b0x[4c][0-9a-f]{7}u?\b' || true)
if [ -n "$found" ]; then
    echo "status codes written as numbers (use the names of include/ovxStatus.h):"
    echo "$found"
    exit 1
fi

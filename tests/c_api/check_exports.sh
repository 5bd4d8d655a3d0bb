#!/bin/bash
# The shared library exports exactly the functions the public header declares.
set -euo pipefail
library=$1
header=$2
declared=$(grep -oE '^OVX_SS_API [^(]*\b[A-Za-z_][A-Za-z0-9_]*\(' "$header" | sed -E 's/.*[ *]([A-Za-z_][A-Za-z0-9_]*)\($/\1/' | sort)
exported=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TW]$/ {print $3}' | sed 's/@.*//' | sort)
if [ "$declared" != "$exported" ]; then
    echo "declared and exported functions differ:"
    diff <(echo "$declared") <(echo "$exported") || true
    exit 1
fi
echo "exports match the header: $(echo "$declared" | wc -l) functions"

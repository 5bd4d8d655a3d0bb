#!/bin/bash
# The size of the tests against the code they test: non-blank, non-comment
# lines of the tracked files of tests/ over those of src/, include/ and apps/,
# counted by cloc. Tests that grow past 0.40 of the code restate it rather
# than check it: the check fails above that.
#   bash scripts/check_test_ratio.sh [root]       print, fail above 0.40
#   OVX_RATIO_REPORT_ONLY=1 ...                   print only
set -euo pipefail
root=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
limit=0.40
# Tracked files only: build trees and data made by runs are not the project's.
count_lines() { (cd "$root" && git ls-files "$@" | cloc --list-file=- --quiet --csv | awk -F, '$2 == "SUM" { print $5 }'); }
tests=$(count_lines tests)
code=$(count_lines src include apps)
ratio=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.2f", t / c }')
echo "tests/ against src/ + include/ + apps/: $tests / $code lines = $ratio (at most $limit)"
if [ -z "${OVX_RATIO_REPORT_ONLY:-}" ] && awk -v t="$tests" -v c="$code" -v l="$limit" 'BEGIN { exit !(t > l * c) }'; then
    echo "the tests are more than $limit of the code: fold cases that differ only in data into tables," \
        "share fixtures, and drop what no rule needs" >&2
    exit 1
fi

#!/bin/bash
# check_gates.sh SOURCE-ROOT COMPILER LAYER-INCLUDES
# Plants, in a copy of the tree outside any git checkout, what each check
# exists to refuse, and expects every planted fault named in its output:
# functions of 85 lines in the forms a pattern reader misses, a status code
# written as a number, includes that climb to a higher layer's folder, and
# tests half the size of the code (a quarter must pass).
set -uo pipefail
root=$1 compiler=$2 includes=$3
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
failures=0
expect() { # expect CHECK-OUTPUT TEXT...
    local output=$1 text
    shift
    for text in "$@"; do
        grep -qF -- "$text" <<<"$output" || { echo "not caught: $text"; failures=$((failures + 1)); }
    done
}
cp -r "$root/src" "$root/apps" "$root/include" "$root/bench" "$root/fuzz" "$root/tests" "$root/scripts" "$tree"
body=$(for i in $(seq 82); do echo "    x += $i;"; done)
cat >"$tree/src/tools/planted.cpp" <<PLANTED
namespace planted {
int plain(int x)
{
$body
    return x;
}
int withDefault(int x = 3)
{
$body
    return x;
}
struct S {
    S();
    int m;
    int v[2];
};
S::S()
    : m(0), v{1, 2}
{
    int x = 0;
$body
    m = x;
}
auto lambda = [](int x) {
$body
    return x;
};
unsigned code() { return 0xC7560001; }
} // namespace planted
PLANTED
sed -i '1i #include "../documents/cmlPolicy.h"' "$tree/src/cml/core/cmlDocument.cpp"
sed -i '1i #include "../transport/mslLoader.h"' "$tree/src/scs/scsPost.cpp"
sed -i '1i #include "../scs/scsSettings.h"' "$tree/src/transport/svcRetryState.cpp"

output=$(bash "$tree/scripts/check_sizes.sh" "$tree" 2>&1) && { echo "check_sizes.sh passed"; failures=$((failures + 1)); }
expect "$output" "lines) plain" "lines) withDefault" "lines) S" "lines) (lambda)"
output=$(bash "$tree/scripts/check_status_literals.sh" "$tree" 2>&1) && { echo "check_status_literals.sh passed"; failures=$((failures + 1)); }
expect "$output" "return 0xC7560001;"
output=$(bash "$tree/tests/layers/check_layers.sh" "$compiler" "$includes" "$tree/tests/layers/layer_rules.txt" "$tree" 2>&1) &&
    { echo "check_layers.sh passed"; failures=$((failures + 1)); }
expect "$output" "cmlDocument.cpp:1:" "scsPost.cpp:1:" "svcRetryState.cpp:1:"
# The ratio counts tracked files with cloc, so its tree is a git tree of its
# own; without cloc the check cannot run, which is a failure here.
command -v cloc >/dev/null || { echo "cloc is missing"; failures=$((failures + 1)); }
small="$tree/small"
mkdir -p "$small/src" "$small/tests"
for i in $(seq 100); do echo "int f$i() { return $i; }"; done >"$small/src/code.cpp"
for i in $(seq 50); do echo "int t$i() { return $i; }"; done >"$small/tests/test.cpp"
git -C "$small" init -q && git -C "$small" add .
output=$(env -u OVX_RATIO_REPORT_ONLY bash "$tree/scripts/check_test_ratio.sh" "$small" 2>&1) &&
    { echo "check_test_ratio.sh passed at 0.50"; failures=$((failures + 1)); }
expect "$output" "50 / 100 lines = 0.50" "more than 0.40 of the code"
sed -i '26,$d' "$small/tests/test.cpp" && git -C "$small" add .
output=$(env -u OVX_RATIO_REPORT_ONLY bash "$tree/scripts/check_test_ratio.sh" "$small" 2>&1) ||
    { echo "check_test_ratio.sh failed at 0.25: $output"; failures=$((failures + 1)); }
expect "$output" "25 / 100 lines = 0.25"
echo "$failures planted faults missed"
[ "$failures" -eq 0 ]

#!/bin/bash
# Runs an agent against an installed (or unpacked) tree of the library:
#   run_installed_agent.sh ROOT LIBDIR AGENT-SOURCE SIMULATOR WORK
# builds AGENT-SOURCE with the system compiler against ROOT/include and
# ROOT/LIBDIR, starts SIMULATOR on a free port of 127.0.0.1, and runs the
# agent with nothing in its environment that points at the library's files.
set -euo pipefail
root=$1
libdir=$2
source_file=$3
simulator=$4
work=$5
cc -std=c99 -Wall -Wextra -Werror -pedantic -I"$root/include" "$source_file" -L"$root/$libdir" -lovxSensorSvcs \
    -o "$work/agent" ${OVX_EXTRA_LDFLAGS:-}

"$simulator" --port 0 --state "$work/sim.db" >"$work/sim.out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true' EXIT
url=""
for _ in $(seq 1 500); do
    url=$(sed -n 's/^listening on //p' "$work/sim.out")
    [ -n "$url" ] && break
    sleep 0.02
done
[ -n "$url" ] || { echo "the simulator did not start:"; cat "$work/sim.out"; exit 1; }

printf '[scs]\nagentIdFile=%s/agent-id.ini\n' "$work" >"$work/local.ini"
printf '[server.1]\nurl=%s\n' "$url" >"$work/comm.ini"
env -u NLSPATH -u OVX_TRUSTED_KEYS LD_LIBRARY_PATH="$root/$libdir" "$work/agent" "$work/local.ini" "$work/comm.ini"

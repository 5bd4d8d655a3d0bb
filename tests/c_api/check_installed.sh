#!/bin/bash
# Installs the build into a scratch root and builds a C99 agent against the
# installed header and library with the system compiler, as an agent
# developer would, then runs it with the installed catalog.
set -euo pipefail
build=$1
source_file=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
DESTDIR="$scratch" cmake --install "$build" --prefix /usr/local >/dev/null
prefix="$scratch/usr/local"
catalog=$(find "$scratch" -name ovx-ZuviDevi.cat | head -1)
[ -n "$catalog" ] || { echo "the catalog was not installed"; exit 1; }
case "$catalog" in */C/LC_MESSAGES/ovx-ZuviDevi.cat) ;; *) echo "catalog in the wrong place: $catalog"; exit 1 ;; esac
cc -std=c99 -Wall -Wextra -Werror -pedantic -I"$prefix/include" "$source_file" -L"$prefix/lib" -lovxSensorSvcs \
    -o "$scratch/client" ${OVX_EXTRA_LDFLAGS:-}
LD_LIBRARY_PATH="$prefix/lib" NLSPATH="$(dirname "$catalog")/%N.cat" "$scratch/client"

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

# The same agent built through the CMake package and through pkg-config.
for file in lib/libovxSensorSvcs.so.5 lib/libovxSessionConfigSvcs5.so lib/libovxSessionConfigSvcs5.so.sig \
    share/ovxSensorSvcs/trusted-keys.pem share/ovxSensorSvcs/schemas/Ovx1_0_1.xsd bin/agent-manager-sim; do
    [ -e "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
[ "$(readlink "$prefix/lib/libovxSensorSvcs.so")" = libovxSensorSvcs.so.5 ] || { echo "no development link"; exit 1; }
mkdir "$scratch/consumer"
cp "$source_file" "$scratch/consumer/client.c"
cat >"$scratch/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(ovxSensorSvcs 5 REQUIRED)
add_executable(client client.c)
target_link_libraries(client PRIVATE ovxSensorSvcs::ovxSensorSvcs)
CMAKE
cmake -S "$scratch/consumer" -B "$scratch/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_EXE_LINKER_FLAGS="${OVX_EXTRA_LDFLAGS:-}" >/dev/null
cmake --build "$scratch/consumer/build" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" NLSPATH="$(dirname "$catalog")/%N.cat" "$scratch/consumer/build/client" >/dev/null
cflags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --define-prefix --cflags ovxSensorSvcs)
libs=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --define-prefix --libs ovxSensorSvcs)
case "$cflags" in *"$prefix/include"*) ;; *) echo "pkg-config does not point into the installed tree: $cflags"; exit 1 ;; esac
# shellcheck disable=SC2086
cc -std=c99 -Wall -Werror $cflags "$source_file" $libs -o "$scratch/client-pc" ${OVX_EXTRA_LDFLAGS:-}
LD_LIBRARY_PATH="$prefix/lib" NLSPATH="$(dirname "$catalog")/%N.cat" "$scratch/client-pc" >/dev/null
echo "installed tree usable through the header, the CMake package and pkg-config"

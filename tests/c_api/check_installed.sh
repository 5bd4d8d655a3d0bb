#!/bin/bash
# Installs the build under a prefix of the user's (as a user who is not root
# would), checks that no installed file names the build folder, moves the
# tree elsewhere and uses it from there: an agent built against the moved
# header and library posts a heartbeat to the moved simulator with nothing
# in its environment pointing at the library's files; then the same agent is
# built through the CMake package and through pkg-config.
#   check_installed.sh BUILD-DIR C99-CLIENT-SOURCE INSTALLED-AGENT-SOURCE
set -euo pipefail
build=$1
source_file=$2
agent_source=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/first" >/dev/null

for file in lib/libovxSensorSvcs.so.5 lib/ovxSensorSvcs/libovxSessionConfigSvcs5.so lib/ovxSensorSvcs/libovxSessionConfigSvcs5.so.sig \
    lib/qtn/nls/C/LC_MESSAGES/ovx-ZuviDevi.cat share/ovxSensorSvcs/trusted-keys.pem \
    share/ovxSensorSvcs/schemas/Ovx1_0_1.xsd bin/agent-manager-sim include/ovxSensorSvcs.h \
    share/pkgconfig/ovxSensorSvcs.pc lib/cmake/ovxSensorSvcs/ovxSensorSvcsConfig.cmake; do
    [ -e "$scratch/first/$file" ] || { echo "not installed under the prefix: $file"; exit 1; }
done
outside=$(find "$scratch" -path "$scratch/first" -prune -o -type f -print)
[ -z "$outside" ] || { echo "installed outside the prefix: $outside"; exit 1; }
[ "$(readlink "$scratch/first/lib/libovxSensorSvcs.so")" = libovxSensorSvcs.so.5 ] || { echo "no development link"; exit 1; }

# No installed file names the folder it was built in.
build_path=$(cd "$build" && pwd -P)
naming=$(grep -rlaF "$build_path" "$scratch/first" || true)
[ -z "$naming" ] || { echo "these files name the build folder $build_path: $naming"; exit 1; }

# Moved elsewhere, the tree still works.
mv "$scratch/first" "$scratch/moved"
prefix="$scratch/moved"
mkdir "$scratch/run"
bash "$here/run_installed_agent.sh" "$prefix" lib "$agent_source" "$prefix/bin/agent-manager-sim" "$scratch/run"

cc -std=c99 -Wall -Wextra -Werror -pedantic -I"$prefix/include" "$source_file" -L"$prefix/lib" -lovxSensorSvcs \
    -o "$scratch/client" ${OVX_EXTRA_LDFLAGS:-}
env -u NLSPATH LD_LIBRARY_PATH="$prefix/lib" "$scratch/client" >/dev/null

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
env -u NLSPATH LD_LIBRARY_PATH="$prefix/lib" "$scratch/consumer/build/client" >/dev/null

# pkg-config finds the moved tree from the .pc file's own place.
cflags=$(PKG_CONFIG_PATH="$prefix/share/pkgconfig" pkg-config --cflags ovxSensorSvcs)
libs=$(PKG_CONFIG_PATH="$prefix/share/pkgconfig" pkg-config --libs ovxSensorSvcs)
case "$cflags" in *"$prefix/share/pkgconfig/../../include"* | *"$prefix/include"*) ;;
*) echo "pkg-config does not point into the moved tree: $cflags"; exit 1 ;; esac
# shellcheck disable=SC2086
cc -std=c99 -Wall -Werror $cflags "$source_file" $libs -o "$scratch/client-pc" ${OVX_EXTRA_LDFLAGS:-}
env -u NLSPATH LD_LIBRARY_PATH="$prefix/lib" "$scratch/client-pc" >/dev/null
echo "installed tree, moved, usable through the header, the CMake package and pkg-config"

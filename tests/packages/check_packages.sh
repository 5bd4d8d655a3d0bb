#!/bin/bash
# Makes the Debian packages from a built tree (cpack -G DEB, stripped),
# checks their names, contents and dependencies, unpacks them into a
# scratch root with dpkg-deb, hides the build tree, and has a C agent built
# against that root post a heartbeat to the unpacked simulator.
#   check_packages.sh SOURCE-DIR BUILD-DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
scratch=$(mktemp -d)
hidden="$build.hidden-for-packages"
cleanup() {
    [ -d "$hidden" ] && mv "$hidden" "$build"
    rm -rf "$scratch"
}
trap cleanup EXIT
cmake --build "$build" >/dev/null
(cd "$build" && cpack -G DEB -B "$scratch/debs" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; exit 1; }

declare -A expect=(
    [libovxsensorsvcs5]="usr/lib/libovxSensorSvcs.so.5 usr/lib/libovxSessionConfigSvcs5.so usr/lib/libovxSessionConfigSvcs5.so.sig usr/lib/qtn/nls/C/LC_MESSAGES/ovx-ZuviDevi.cat usr/share/ovxSensorSvcs/trusted-keys.pem usr/share/ovxSensorSvcs/schemas/Ovx1_0_1.xsd"
    [libovxsensorsvcs-dev]="usr/include/ovxSensorSvcs.h usr/include/ovxStatus.h usr/include/ovxTraceSink.h usr/include/ovxCertificateInfo.h usr/lib/libovxSensorSvcs.so usr/lib/pkgconfig/ovxSensorSvcs.pc usr/lib/cmake/ovxSensorSvcs/ovxSensorSvcsConfig.cmake"
    [ovx-agent-manager-sim]="usr/bin/agent-manager-sim"
)
declare -A depends=(
    [libovxsensorsvcs5]="libxerces-c3.2 libcurl4 libssl3 libinih1 libstdc++6 libc6"
    [libovxsensorsvcs-dev]="libovxsensorsvcs5"
    [ovx-agent-manager-sim]="libsqlite3-0 libssl3 libxerces-c3.2 libc6"
)
mkdir "$scratch/root"
for package in "${!expect[@]}"; do
    deb=$(ls "$scratch/debs/${package}"_*.deb 2>/dev/null | head -1)
    [ -n "$deb" ] || { echo "no package $package"; ls "$scratch/debs"; exit 1; }
    [ "$(dpkg-deb -f "$deb" Package)" = "$package" ] || { echo "$deb is not $package"; exit 1; }
    fields=$(dpkg-deb -f "$deb" Depends)
    for needed in ${depends[$package]}; do
        case ", $fields" in *", $needed"*) ;; *) echo "$package does not depend on $needed: $fields"; exit 1 ;; esac
    done
    contents=$(dpkg-deb -c "$deb")
    for file in ${expect[$package]}; do
        grep -q " \./$file\( \|$\)" <<<"$contents" || { echo "$package lacks $file"; exit 1; }
    done
    dpkg-deb -x "$deb" "$scratch/root"
    echo "$package: $(dpkg-deb -f "$deb" Version), depends on $fields"
done

# Nothing may come from the tree the packages were made in.
mv "$build" "$hidden"
mkdir "$scratch/run"
bash "$source_dir/tests/c_api/run_installed_agent.sh" "$scratch/root/usr" lib "$source_dir/tests/c_api/installed_agent.c" \
    "$scratch/root/usr/bin/agent-manager-sim" "$scratch/run"
echo "the unpacked packages work"

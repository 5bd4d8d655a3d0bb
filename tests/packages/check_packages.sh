#!/bin/bash
# Makes the packages from a built tree (cpack -G DEB and -G RPM) and checks
# them as a distribution would: lintian and rpmlint with no error and no
# warning, the manual pages (one for every exported function, none with a
# formatter's warning), the simulator's service unit (systemd-analyze
# verify; its exposure is printed), the binaries stripped with their debug
# information apart. Then it unpacks the .debs into a scratch root, hides
# the build tree, and has a C agent built against that root post a
# heartbeat to the unpacked simulator; the same agent is refused once a
# byte of the signed service library changes. The RPMs are installed into
# a scratch root with rpm --root and run the same agent.
#   check_packages.sh SOURCE-DIR BUILD-DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
source "$source_dir/scripts/lib.sh"
ovx_install_packages lintian rpm rpmlint mandoc systemd >/dev/null
scratch=$(mktemp -d)
hidden="$build.hidden-for-packages"
cleanup() {
    [ -d "$hidden" ] && mv "$hidden" "$build"
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "$*"
    exit 1
}
cmake --build "$build" >/dev/null
for generator in DEB RPM; do
    (cd "$build" && cpack -G $generator -B "$scratch/packages" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; exit 1; }
done
debs=$(ls "$scratch"/packages/*.deb)
rpms=$(ls "$scratch"/packages/*.rpm)

# shellcheck disable=SC2086
lintian --fail-on error,warning --display-level '>=warning' $debs >"$scratch/lintian.log" 2>&1 ||
    { cat "$scratch/lintian.log"; fail "lintian found errors or warnings"; }
echo "lintian: no error, no warning on $(wc -w <<<"$debs") packages"
# rpmlint fails on errors only; a warning fails here too.
# shellcheck disable=SC2086
rpmlint -c "$source_dir/tests/packages/rpmlint.toml" $rpms >"$scratch/rpmlint.log" 2>&1 || true
if grep -E ': [EW]: ' "$scratch/rpmlint.log" || ! grep -q ' 0 errors, 0 warnings' "$scratch/rpmlint.log"; then
    cat "$scratch/rpmlint.log"
    fail "rpmlint found errors or warnings"
fi
echo "rpmlint: $(grep -o '[0-9]* packages and .*warnings' "$scratch/rpmlint.log")"

declare -A expect=(
    [libovxsensorsvcs5]="usr/lib/libovxSensorSvcs.so.5 usr/lib/ovxSensorSvcs/libovxSessionConfigSvcs5.so usr/lib/ovxSensorSvcs/libovxSessionConfigSvcs5.so.sig usr/lib/qtn/nls/C/LC_MESSAGES/ovx-ZuviDevi.cat usr/share/ovxSensorSvcs/trusted-keys.pem usr/share/ovxSensorSvcs/schemas/Ovx1_0_1.xsd usr/share/man/man5/ovxSensorSvcs-settings.5.gz"
    [libovxsensorsvcs-dev]="usr/include/ovxSensorSvcs.h usr/include/ovxStatus.h usr/include/ovxTraceSink.h usr/include/ovxCertificateInfo.h usr/lib/libovxSensorSvcs.so usr/share/pkgconfig/ovxSensorSvcs.pc usr/lib/cmake/ovxSensorSvcs/ovxSensorSvcsConfig.cmake usr/share/man/man7/ovxSensorSvcs.7.gz usr/share/man/man3/SS_Init.3.gz"
    [ovx-agent-manager-sim]="usr/bin/agent-manager-sim usr/share/man/man1/agent-manager-sim.1.gz usr/lib/systemd/system/agent-manager-sim.service"
    [ovxsensorsvcs-dbg]="usr/lib/debug/.build-id"
)
declare -A depends=(
    [libovxsensorsvcs5]="libxerces-c3.2 libcurl4 libssl3 libinih1 libstdc++6 libc6"
    [libovxsensorsvcs-dev]="libovxsensorsvcs5"
    [ovx-agent-manager-sim]="libsqlite3-0 libssl3 libxerces-c3.2 libc6"
    [ovxsensorsvcs-dbg]="libovxsensorsvcs5"
)
root="$scratch/root"
mkdir "$root"
for package in "${!expect[@]}"; do
    deb=$(ls "$scratch/packages/${package}"_*.deb 2>/dev/null | head -1)
    [ -n "$deb" ] || fail "no package $package"
    [ "$(dpkg-deb -f "$deb" Package)" = "$package" ] || fail "$deb is not $package"
    fields=$(dpkg-deb -f "$deb" Depends)
    for needed in ${depends[$package]}; do
        case ", $fields" in *", $needed"*) ;; *) fail "$package does not depend on $needed: $fields" ;; esac
    done
    contents=$(dpkg-deb -c "$deb")
    for file in ${expect[$package]}; do
        grep -q " \./$file\( \|/\|$\)" <<<"$contents" || fail "$package lacks $file"
    done
    dpkg-deb -x "$deb" "$root"
    echo "$package: $(dpkg-deb -f "$deb" Version), depends on $fields"
done
# ldconfig never meets the signature: nothing but libraries in its folder.
[ -z "$(find "$root/usr/lib" -maxdepth 1 -type f ! -name '*.so*')" ] || fail "files other than libraries in usr/lib"

# Every exported function has its page; no page draws a formatter's warning.
for name in $(sed -n 's/^ *\([A-Za-z_]*\);$/\1/p' "$source_dir/cmake/ovxSensorSvcs.map"); do
    [ -e "$root/usr/share/man/man3/$name.3.gz" ] || fail "no manual page for $name"
done
pages=0
for page in "$root"/usr/share/man/man*/*.gz; do
    [ -L "$page" ] && continue
    warnings=$( (mandoc -Tlint -Wwarning "$page" 2>&1; MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || true)
    [ -z "$warnings" ] || fail "$page: $warnings"
    lexgrog "$page" >/dev/null || fail "$page has no NAME line whatis can read"
    pages=$((pages + 1))
done
echo "manual pages: $pages, every exported function named, no warning"

# The service unit verifies against the system's units, inside the root.
cp -a /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
cp "$root/usr/lib/systemd/system/agent-manager-sim.service" "$scratch/unit.service"
MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" agent-manager-sim.service
systemd-analyze security --offline=yes "$scratch/unit.service" 2>&1 | grep 'Overall exposure'

# Shipped stripped, linked to their debug files, which the debug package has.
for binary in usr/lib/libovxSensorSvcs.so.5.0.0 usr/lib/ovxSensorSvcs/libovxSessionConfigSvcs5.so usr/bin/agent-manager-sim; do
    sections=$(readelf -S "$root/$binary")
    grep -q '\.symtab' <<<"$sections" && fail "$binary is not stripped"
    grep -q '\.gnu_debuglink' <<<"$sections" || fail "$binary has no debug link"
    id=$(readelf -n "$root/$binary" | sed -n 's/.*Build ID: \(..\)\(.*\)/\1\/\2/p')
    [ -f "$root/usr/lib/debug/.build-id/$id.debug" ] || fail "no debug file for $binary"
done

# Nothing may come from the tree the packages were made in.
mv "$build" "$hidden"
mkdir "$scratch/run" "$scratch/tampered"
bash "$source_dir/tests/c_api/run_installed_agent.sh" "$root/usr" lib "$source_dir/tests/c_api/installed_agent.c" \
    "$root/usr/bin/agent-manager-sim" "$scratch/run"
echo "the unpacked stripped packages work"
# One byte changed after signing: the signature check refuses the library.
service="$root/usr/lib/ovxSensorSvcs/libovxSessionConfigSvcs5.so"
byte=$(od -An -tu1 -j4096 -N1 "$service" | tr -d ' ')
printf "\\$(printf '%03o' $(((byte + 1) % 256)))" | dd of="$service" bs=1 seek=4096 conv=notrunc status=none
if bash "$source_dir/tests/c_api/run_installed_agent.sh" "$root/usr" lib "$source_dir/tests/c_api/installed_agent.c" \
    "$root/usr/bin/agent-manager-sim" "$scratch/tampered" 2>"$scratch/tampered.log"; then
    fail "a service library changed after signing was loaded"
fi
grep -q "SS_Init failed" "$scratch/tampered.log" || { cat "$scratch/tampered.log"; fail "the changed library failed otherwise"; }
echo "a byte changed after signing: SS_Init refuses ($(grep -o '0x[0-9a-f]*' "$scratch/tampered.log" | head -1))"

# The RPMs, installed with rpm into a root of their own, run the same agent.
rpm_root="$scratch/rpm-root"
mkdir -p "$rpm_root" "$scratch/rpm-run"
# shellcheck disable=SC2086
# (Debian's rpm warns that it is not Debian's package manager: kept for a failure only.)
rpm --root "$rpm_root" --initdb && rpm --root "$rpm_root" -i --nodeps --noscripts $rpms 2>"$scratch/rpm.log" ||
    { cat "$scratch/rpm.log"; fail "rpm could not install the RPMs"; }
bash "$source_dir/tests/c_api/run_installed_agent.sh" "$rpm_root/usr" lib "$source_dir/tests/c_api/installed_agent.c" \
    "$rpm_root/usr/bin/agent-manager-sim" "$scratch/rpm-run"
echo "the RPMs installed with rpm --root work"

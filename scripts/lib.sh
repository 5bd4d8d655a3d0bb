# Shared by scripts/demo and scripts/test: installs what the build needs from
# Debian when it is missing, and configures and builds one tree.

# Debian packages the build, the tests and the demo use.
OVX_PACKAGES=(build-essential cmake ninja-build pkg-config gettext-base openssl
    libgtest-dev libgmock-dev libbenchmark-dev
    libssl-dev libsqlite3-dev libxerces-c-dev libcurl4-openssl-dev zlib1g-dev libinih-dev libcpp-httplib-dev
    libmicrohttpd-dev libexpat1-dev libxml2-utils dpkg-dev curl ccache libseccomp-dev go-md2man)

ovx_root() { cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd; }

ovx_install_packages() {
    local missing=()
    for package in "${OVX_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# ovx_build <build dir> [cmake options...]; OVX_TARGETS limits what is built.
# Compilations go through ccache when it is there: a tree built again, or
# another tree of the same flags, compiles only what changed.
ovx_build() {
    local dir=$1
    shift
    local launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$(ovx_root)" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null
    local targets=()
    for target in ${OVX_TARGETS:-}; do targets+=(--target "$target"); done
    # Paths under the root are hashed relative to it and the build folder is
    # not hashed (debug info is made path-free with -ffile-prefix-map), so a
    # second clone of the tree reuses the first one's compilations.
    CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(ovx_root)} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true} \
        cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}

# ovx_build_profiled <build dir> [cmake options...]: the tree that ships,
# optimised from a profile of the heartbeat round trip. The tree is first
# built instrumented and runs the round trip an agent makes (the real-path
# benchmark's own side alone: HTTP and HTTPS, the worker thread off and on,
# and the builder calls); it is then built again from what that run counted.
# Both builds are of the same folder: the profile names a function by where
# it was compiled, headers made in the build folder included. The second
# build bypasses ccache, which would not tell one profile from the next.
ovx_build_profiled() {
    local dir
    dir=$(realpath -m "$1")
    shift
    local profile="$dir.profile"
    rm -rf "$profile"
    OVX_TARGETS="ovxBenchRealPath ovxCatalog" ovx_build "$dir" "$@" -DOVX_BUILD_TESTS=ON -DOVX_BUILD_BENCH=ON \
        -DOVX_PROFILE_GENERATE="$profile" -DOVX_PROFILE_USE=
    local run
    for run in "0 ours" "1 ours" "2 ours" "3 ours" "builders"; do
        # shellcheck disable=SC2086
        NLSPATH="$dir/catalog/%N.cat" OVX_TRUSTED_KEYS="$dir/share/ovxSensorSvcs/trusted-keys.pem" \
            OVX_BENCH_BLOCKS=8 "$dir/bench/ovxBenchRealPath" "$dir/tests/certs" $run >/dev/null ||
            { echo "the profiling run ($run) failed" >&2; return 1; }
    done
    # The tests and benchmarks the first build needed are off again unless
    # the options given turn them on.
    CCACHE_DISABLE=1 ovx_build "$dir" -DOVX_BUILD_TESTS=OFF -DOVX_BUILD_BENCH=OFF "$@" \
        -DOVX_PROFILE_USE="$profile" -DOVX_PROFILE_GENERATE=
}

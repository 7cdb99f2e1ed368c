# SPDX-License-Identifier: Apache-2.0
# Shared by scripts/run and scripts/test: install what is missing, configure, build.
# Sourced, not run.

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# What building needs is the Build-Depends of debian/control, the one list
# the package build uses too: apt-get build-dep installs it. Beside it, the
# Debian packages that only the tests, the sandbox, the simulated fleet, the
# demonstration and the checks of the packages use (and dpkg-dev, which
# checks the build dependencies, and build-essential, which every Debian
# build assumes).
VORN_PACKAGES=(
    build-essential dpkg-dev
    libgtest-dev libgmock-dev
    iproute2 util-linux procps
    file binutils man-db groff-base lintian ucf
    python3-pytest python3-zmq
    python3-prometheus-client python3-yaml prometheus-node-exporter curl
    ansible-core openssh-server openssh-client socat
)

vorn_install_missing() {
    local missing=() pkg build_deps_met=1
    for pkg in "${VORN_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    (cd "$VORN_ROOT" && dpkg-checkbuilddeps) >/dev/null 2>&1 || build_deps_met=""
    [ ${#missing[@]} -eq 0 ] && [ -n "$build_deps_met" ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    if [ ${#missing[@]} -ne 0 ]; then
        echo "Installing missing packages: ${missing[*]}"
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
    if [ -z "$build_deps_met" ] && ! (cd "$VORN_ROOT" && dpkg-checkbuilddeps) >/dev/null 2>&1; then
        echo "Installing the build dependencies of debian/control"
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get build-dep -y -qq --no-install-recommends "$VORN_ROOT"
    fi
}

# vorn_build DIR [cmake options...]
vorn_build() {
    local dir=$1
    shift
    cmake -S "$VORN_ROOT" -B "$VORN_ROOT/$dir" "$@" >/dev/null
    cmake --build "$VORN_ROOT/$dir" -j "$(nproc)"
}

# SPDX-License-Identifier: Apache-2.0
# Shared by scripts/run and scripts/test: install what is missing, configure, build.
# Sourced, not run.

VORN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The Debian packages the project needs to build, test and package itself.
VORN_PACKAGES=(
    g++ cmake make pkg-config
    libzmq3-dev cppzmq-dev libsystemd-dev nlohmann-json3-dev
    libgtest-dev libgmock-dev
    iproute2 util-linux procps
    dpkg-dev file binutils systemd man-db groff-base
    debhelper dh-python lintian
    python3 python3-pytest python3-zmq
    python3-prometheus-client python3-yaml prometheus-node-exporter curl
    ansible-core openssh-server openssh-client socat
)

vorn_install_missing() {
    local missing=() pkg
    for pkg in "${VORN_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# vorn_build DIR [cmake options...]
vorn_build() {
    local dir=$1
    shift
    cmake -S "$VORN_ROOT" -B "$VORN_ROOT/$dir" "$@" >/dev/null
    cmake --build "$VORN_ROOT/$dir" -j "$(nproc)"
}

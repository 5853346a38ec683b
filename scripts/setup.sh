#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing, then
# configures and builds into build/ (Release, GCC). Sourced by run.sh and
# test.sh.
set -euo pipefail

TALLYSV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# pkg-config and libcpp-httplib-dev build the status pages; prometheus
# (promtool) and chromium check them; dpkg-dev and lintian make and check the
# Debian package (a test does both); libsodium-dev hashes stored passwords.
TALLYSV_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev pkg-config
    libcpp-httplib-dev prometheus chromium dpkg-dev lintian libsodium-dev)

install_missing_packages() {
    local missing=()
    for package in "${TALLYSV_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if ((${#missing[@]})); then
        echo "Installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -q
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
    fi
}

# Configures build/ (Release); options already in its cache stay as they are.
configure_release() {
    cmake -S "$TALLYSV_ROOT" -B "$TALLYSV_ROOT/build" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@"
}

build_release() {
    configure_release "$@"
    cmake --build "$TALLYSV_ROOT/build"
}

#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and running the
# server, then configures and builds into build/ (Release, GCC). Sourced by
# run.sh and test.sh; test.sh installs what only the tests need itself.
set -euo pipefail

TALLYSV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# What building and running the server need (scripts/run.sh), one a line.
TALLYSV_PACKAGES=(
    cmake
    ninja-build
    g++
    pkg-config          # finds libcpp-httplib
    libcpp-httplib-dev  # the status pages' HTTP server
    libsodium-dev       # hashes stored passwords
    libsqlite3-dev      # tallysv-db export --sqlite
)

# Installs those of the packages named (by default TALLYSV_PACKAGES) that
# are not installed yet.
install_missing_packages() {
    local wanted=("$@")
    ((${#wanted[@]})) || wanted=("${TALLYSV_PACKAGES[@]}")
    local missing=()
    for package in "${wanted[@]}"; do
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
# A first configuration leaves the tests and benchmarks out unless asked:
# they need packages that only test.sh installs.
configure_release() {
    local first=()
    [ -f "$TALLYSV_ROOT/build/CMakeCache.txt" ] || first=(-DTALLYSV_TESTS=OFF -DTALLYSV_BENCH=OFF)
    cmake -S "$TALLYSV_ROOT" -B "$TALLYSV_ROOT/build" -G Ninja -DCMAKE_BUILD_TYPE=Release "${first[@]}" "$@"
}

build_release() {
    configure_release "$@"
    cmake --build "$TALLYSV_ROOT/build"
}

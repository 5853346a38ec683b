#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal
# build (GCC), once under AddressSanitizer and UndefinedBehaviorSanitizer
# (Clang), where the fuzz targets also run a fixed number of inputs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

# What only the tests need, one a line.
TALLYSV_TEST_PACKAGES=(
    libgtest-dev        # the tests
    libbenchmark-dev    # the benchmarks, built with the tests
    clang               # the sanitizer build and the fuzz targets
    libclang-rt-14-dev
    chromium            # the status page and the players' site in a browser
    sqlite3             # reads back what tallysv-db export --sqlite wrote
    dpkg-dev            # the Debian package (dpkg-shlibdeps, dpkg-deb)
    lintian             # checks that package
    keepalived          # the takeover between two machines, in network namespaces
    iproute2
    rsync               # the copy of each save set to the standby
    openssh-client
    openssh-server
)

# promtool checks the metrics and the monitoring rules. Debian carries it
# only in the prometheus package, which starts its daemons as it is
# installed on a machine with systemd: it is installed without its
# recommended exporter, under a policy-rc.d that denies every start (removed
# again afterwards, also when the install is cut short), and its service is
# left disabled, so it does not start at the next boot either.
TALLYSV_POLICY_RC=""
remove_policy_rc() { [ -z "$TALLYSV_POLICY_RC" ] || $TALLYSV_SUDO rm -f "$TALLYSV_POLICY_RC"; TALLYSV_POLICY_RC=""; }
install_promtool() {
    dpkg-query -W -f='${Status}' prometheus 2>/dev/null | grep -q "install ok installed" && return
    TALLYSV_SUDO=""
    [ "$(id -u)" -eq 0 ] || TALLYSV_SUDO="sudo"
    local policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        trap remove_policy_rc EXIT
        TALLYSV_POLICY_RC=$policy
        printf '#!/bin/sh\n# Put here by test.sh while it installs prometheus.\nexit 101\n' |
            $TALLYSV_SUDO tee "$policy" >/dev/null
        $TALLYSV_SUDO chmod 755 "$policy"
    fi
    echo "Installing: prometheus (for promtool; its daemons are not started)"
    $TALLYSV_SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $TALLYSV_SUDO apt-get install -y -q --no-install-recommends prometheus
    $TALLYSV_SUDO systemctl disable --quiet prometheus.service 2>/dev/null || true
    remove_policy_rc
}

install_missing_packages "${TALLYSV_PACKAGES[@]}" "${TALLYSV_TEST_PACKAGES[@]}"
install_promtool
jobs=$(nproc)

build_release -DTALLYSV_TESTS=ON -DTALLYSV_BENCH=ON
ctest --test-dir "$TALLYSV_ROOT/build" --output-on-failure -j "$jobs" --timeout 300

# Line tables are all the sanitizers' reports need (file and line of each
# frame); full debug information only makes the build slower.
CC=clang CXX=clang++ cmake -S "$TALLYSV_ROOT" -B "$TALLYSV_ROOT/build-sanitize" -G Ninja \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-gline-tables-only \
    -DTALLYSV_SANITIZE=ON -DTALLYSV_FUZZ=ON -DTALLYSV_BENCH=OFF
cmake --build "$TALLYSV_ROOT/build-sanitize"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$TALLYSV_ROOT/build-sanitize" --output-on-failure -j "$jobs" --timeout 600

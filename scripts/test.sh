#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal
# build (GCC), once under AddressSanitizer and UndefinedBehaviorSanitizer
# (Clang), where the fuzz targets also run a fixed number of inputs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_missing_packages
jobs=$(nproc)

build_release -DTALLYSV_TESTS=ON -DTALLYSV_BENCH=ON
ctest --test-dir "$TALLYSV_ROOT/build" --output-on-failure -j "$jobs" --timeout 300

CC=clang CXX=clang++ cmake -S "$TALLYSV_ROOT" -B "$TALLYSV_ROOT/build-sanitize" -G Ninja \
    -DCMAKE_BUILD_TYPE=Debug -DTALLYSV_SANITIZE=ON -DTALLYSV_FUZZ=ON -DTALLYSV_BENCH=OFF
cmake --build "$TALLYSV_ROOT/build-sanitize"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$TALLYSV_ROOT/build-sanitize" --output-on-failure -j "$jobs" --timeout 600

#!/usr/bin/env bash
# Installs what is missing, builds, and starts the server in ./data.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_missing_packages
build_release -DTALLYSV_TESTS=OFF
mkdir -p "$TALLYSV_ROOT/data"
cd "$TALLYSV_ROOT/data"
exec "$TALLYSV_ROOT/build/tallysv"

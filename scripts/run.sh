#!/usr/bin/env bash
# Installs what is missing, builds the server alone (Release), and starts it
# in ./data.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_missing_packages
configure_release
cmake --build "$TALLYSV_ROOT/build" --target tallysv
mkdir -p "$TALLYSV_ROOT/data"
cd "$TALLYSV_ROOT/data"
exec "$TALLYSV_ROOT/build/tallysv"

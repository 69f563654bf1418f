#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine (as root), builds Zendral and
# runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
cd "${BUILD_DIR:-build}"
ctest --output-on-failure -j 2 --timeout 600

#!/usr/bin/env bash
# Builds Quillex and runs every test, then checks formatting.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
(cd build && ctest --output-on-failure -j"$(nproc)")
scripts/check-format.sh

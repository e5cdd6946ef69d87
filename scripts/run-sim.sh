#!/usr/bin/env bash
# Builds Quillex and runs the main job, quillex-sim; arguments go to quillex-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >&2
exec build/tools/quillex-sim "$@"

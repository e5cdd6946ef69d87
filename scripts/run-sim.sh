#!/usr/bin/env bash
# Builds quillex-sim (and only what it links) and runs it; arguments go to
# quillex-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh quillex-sim >&2
exec build/tools/quillex-sim "$@"

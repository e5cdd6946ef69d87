#!/usr/bin/env bash
# Builds the two tools, quillex-sim and quillexctl (and only what they link),
# and runs quillex-sim; arguments go to quillex-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh quillex-sim quillexctl >&2
exec build/tools/quillex-sim "$@"

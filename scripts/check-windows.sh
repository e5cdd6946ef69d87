#!/usr/bin/env bash
# Compiles the driver folders for Windows x64 against the public KMDF (fenced to
# the 1.9 API) and DDK headers, and lists every symbol a kernel-mode link would
# not resolve. It does not link, run or sign quillex.sys.
#
# The checker lives outside the repository: QUILLEX_WDK_CHECK names it, else
# ../shared/wdk-check/check.sh beside the clone is used.
set -euo pipefail
cd "$(dirname "$0")/.."
checker=${QUILLEX_WDK_CHECK:-../shared/wdk-check/check.sh}
if [[ ! -f "$checker" ]]; then
    echo "check-windows: no Windows header check at $checker (set QUILLEX_WDK_CHECK)" >&2
    exit 2
fi
sh "$checker" . "$@"

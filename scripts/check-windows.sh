#!/usr/bin/env bash
# Compiles the driver folders for Windows x64 against the public KMDF (fenced to
# the 1.9 API) and DDK headers, and lists every symbol a kernel-mode link would
# not resolve. It does not link, run or sign quillex.sys.
#
# The checker lives outside the repository: QUILLEX_WDK_CHECK names it, else
# ../shared/wdk-check/check.sh beside the clone is used.
#
# The checker counts a HID parser routine as resolved only when the headers
# declare it as an import (__imp_HidP_*); the DDK's hidpi.h declares HidP_* as
# plain functions, which hidparse.lib (the import library of HIDPARSE.SYS, named
# in windows/quillex.vcxproj) resolves at the kernel link. Those, and only
# those, are accepted here; every other unresolved symbol or failed source
# fails the check.
set -euo pipefail
cd "$(dirname "$0")/.."
checker=${QUILLEX_WDK_CHECK:-../shared/wdk-check/check.sh}
if [[ ! -f "$checker" ]]; then
    echo "check-windows: no Windows header check at $checker (set QUILLEX_WDK_CHECK)" >&2
    exit 2
fi
if ! grep -q 'hidparse.lib' windows/quillex.vcxproj; then
    echo "check-windows: windows/quillex.vcxproj does not link hidparse.lib" >&2
    exit 1
fi

output=$(mktemp)
trap 'rm -f "$output"' EXIT
set +e
sh "$checker" . "$@" >"$output" 2>&1
checker_status=$?
set -e
cat "$output"

failed=$(grep -c '^FAIL ' "$output" || true)
summary=$(grep -c '^driver sources for Windows:' "$output" || true)
other=0
while read -r _ symbol; do
    case $symbol in
        HidP_*) echo "check-windows: $symbol is resolved by hidparse.lib" ;;
        *) other=$((other + 1)) ;;
    esac
done < <(grep '^UNRESOLVED ' "$output" || true)

if ((summary == 0)); then
    echo "check-windows: the checker stopped before its summary (exit $checker_status)" >&2
    exit 1
fi
if ((failed > 0 || other > 0)); then
    echo "check-windows: $failed sources fail to compile, $other symbols unresolved" >&2
    exit 1
fi
echo "check-windows: every source compiles and every symbol resolves at a kernel link"

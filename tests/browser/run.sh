#!/usr/bin/env bash
# The configurator page in headless Chromium, as ctest runs it:
#   run.sh QUILLEX_SIM QUILLEXCTL ARTIFACTS_DIR
# Needs node and Debian's chromium (scripts/install-deps.sh installs both);
# the page's test libraries (playwright-core, axe-core) come from the npm
# registry at the versions package-lock.json pins, installed here once.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
export QUILLEX_SIM="$1" QUILLEXCTL="$2" QUILLEX_ARTIFACTS="$3"
export QUILLEX_CHROMIUM="${QUILLEX_CHROMIUM:-/usr/bin/chromium}"
command -v node >/dev/null || { echo "browser tests: node is missing (scripts/install-deps.sh)" >&2; exit 1; }
[[ -x "$QUILLEX_CHROMIUM" ]] || { echo "browser tests: no Chromium at $QUILLEX_CHROMIUM (scripts/install-deps.sh)" >&2; exit 1; }
if [[ ! -f "$here/node_modules/playwright-core/package.json" || ! -f "$here/node_modules/axe-core/axe.min.js" ]]; then
    (cd "$here" && npm ci --no-audit --no-fund --loglevel=error)
fi
mkdir -p "$QUILLEX_ARTIFACTS"
cd "$here"
exec node --test --test-concurrency=1 --test-reporter=spec configurator.test.mjs

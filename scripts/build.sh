#!/usr/bin/env bash
# Configures and builds into build/: everything, or only the targets named
# as arguments (with the libraries they link).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
for t in "$@"; do
    targets+=(--target "$t")
done
cmake --build build -j"$(nproc)" "${targets[@]}"

#!/usr/bin/env bash
# Fails when a C++ source is not clang-format clean.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.h' '*.cpp' 2>/dev/null || find . -name '*.h' -o -name '*.cpp' | grep -v '^./build')
if [[ -z "$files" ]]; then
    exit 0
fi
# shellcheck disable=SC2086
if ! clang-format --dry-run --Werror $files; then
    echo "clang-format: run 'clang-format -i' on the files above" >&2
    exit 1
fi
echo "clang-format: clean"

#!/usr/bin/env bash
# Fails when a C++ source is not clang-format clean.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --git-dir >/dev/null 2>&1; then
    mapfile -t candidates < <(git ls-files --cached --others --exclude-standard '*.h' '*.cpp')
else
    mapfile -t candidates < <(find . -path ./build -prune -o \( -name '*.h' -o -name '*.cpp' \) -print)
fi
files=()
for f in "${candidates[@]}"; do
    [[ -f "$f" ]] && files+=("$f")
done
((${#files[@]})) || exit 0
if ! clang-format --dry-run --Werror "${files[@]}"; then
    echo "clang-format: run 'clang-format -i' on the files above" >&2
    exit 1
fi
echo "clang-format: clean"

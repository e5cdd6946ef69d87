#!/usr/bin/env bash
# CI's checks of the Windows package, on a fresh clone beside the Windows header
# check (../shared/wdk-check, or QUILLEX_WDK_CHECK):
#   - quillex.sys builds, twice, byte for byte the same;
#   - every framework structure the driver fills has KMDF 1.9's size;
#   - the image passes the PE check, and the PE check fails on each fault put
#     into a copy (zeroed checksum, writable code, a Windows 10 import, a
#     C++-named import);
#   - the driver binds, starts and unloads under Wine;
#   - the package is made and signed, its INF checked, its signatures and
#     catalog members verified, and the verification fails on each fault put
#     into a copy of it.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(clang-16 lld-16 llvm-16 mingw-w64-x86-64-dev gcc-mingw-w64-x86-64 python3-pefile wine64 osslsigncode
    openssl zip)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "windows-checks: installing ${missing[*]}"
    apt-get install -y -q "${missing[@]}" >/dev/null 2>&1 ||
        { apt-get update -q >/dev/null && apt-get install -y -q "${missing[@]}" >/dev/null; }
fi

step() {
    local start=$SECONDS
    echo "--- $*"
    "$@"
    echo "--- $* took $((SECONDS - start)) s"
}

step scripts/build-windows.sh build-windows
step scripts/build-windows.sh build-windows-again
for f in quillex.sys quillex.pdb; do
    cmp build-windows/$f build-windows-again/$f ||
        { echo "windows-checks: two builds of $f differ" >&2; exit 1; }
done
echo "windows-checks: two builds are byte-identical"
rm -rf build-windows-again
step scripts/check-kmdf-sizes.py --headers build-windows/kernel-flags
step scripts/check-pe.py build-windows/quillex.sys --sources .
step tests/windows/check_pe_faults.py build-windows/quillex.sys
step scripts/wine-start.sh build-windows
step scripts/package.sh
step tests/windows/package_faults.sh "dist/quillex-$(tr -d ' \n' <windows/VERSION)-x64" build-windows/signing/cert.pem

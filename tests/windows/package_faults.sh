#!/usr/bin/env bash
# Puts faults into copies of a package made by scripts/package.sh and checks
# that the INF check and the package verification fail on each.
#   tests/windows/package_faults.sh DIST_DIR CA_CERT.pem
set -euo pipefail
cd "$(dirname "$0")/../.."
dist=$1 ca=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# each fault: a description, then a command run in the copy's folder
expect_failure() {
    local what=$1
    shift
    rm -rf "$work/pkg"
    cp -r "$dist" "$work/pkg"
    (cd "$work/pkg" && eval "$*")
    if scripts/verify-package.sh "$work/pkg" "$ca" >"$work/out" 2>&1; then
        cat "$work/out"
        echo "package_faults: FAIL $what went unseen"
        failures=$((failures + 1))
    else
        echo "package_faults: OK   $what: $(grep -m1 'FAULT' "$work/out" | sed 's/^[a-z-]*: FAULT //')"
    fi
}

expect_failure "a section the INF names is missing" "sed -i '/^\[Quillex_CopyFiles\]/,/^quillex.sys/d' quillex.inf"
expect_failure "CatalogFile names another catalog" "sed -i 's/^CatalogFile *=.*/CatalogFile = other.cat/' quillex.inf"
expect_failure "a malformed hardware ID" "sed -i 's/HID\\\\VID_1234&PID_0402/HID\\\\VID_12G4\\&PID_0402/' quillex.inf"
expect_failure "a DriverVer with no such date" "sed -i 's|^DriverVer *=.*|DriverVer = 13/45/2027,1.0.0.0|' quillex.inf"
expect_failure "a ServiceBinary the INF does not copy" "sed -i 's|quillex.sys$|quillex.sys|; s|^ServiceBinary *=.*|ServiceBinary = %12%\\\\other.sys|' quillex.inf"
expect_failure "an INF changed after the catalog was made" "echo '; changed' >>quillex.inf"
expect_failure "a byte of the driver changed after signing" "printf 'X' | dd of=quillex.sys bs=1 seek=4096 conv=notrunc 2>/dev/null"
expect_failure "an unsigned driver" "cp '$(pwd)/build-windows/quillex.sys' ."
expect_failure "a missing catalog" "rm quillex.cat"
exit $((failures > 0))

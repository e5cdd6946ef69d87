#!/usr/bin/env bash
# scripts/check-includes.sh as CI runs it, on a copy of the tree: the tree as
# it is passes, and each inversion the layering removed, put back, fails with
# a message that names the file, the include and the layers.
source="$1" # the repository
source "$(dirname "$0")/common.sh"

tree="$dir/tree"
mkdir -p "$tree"
(cd "$source" && git ls-files -- scripts/check-includes.sh sim appapi driver hid mapping xusb platform |
    while read -r f; do [[ -f $f ]] && printf '%s\0' "$f"; done |
    xargs -0 cp --parents -t "$tree")
git -C "$tree" init -q
git -C "$tree" add -A

# check FILE LINE EXPECTED: adds the include line to FILE; the check must
# fail saying EXPECTED; the file is then put back.
check() {
    local file="$1" include="$2" expected="$3"
    cp "$tree/$file" "$dir/saved"
    echo "$include" >>"$tree/$file"
    local out
    out=$("$tree/scripts/check-includes.sh" 2>&1)
    local rc=$?
    [[ $rc -ne 0 ]] || fail "$file with $include passed the check"
    grep -qF -- "$expected" <<<"$out" || fail "$file with $include: $out"
    cp "$dir/saved" "$tree/$file"
}

out=$("$tree/scripts/check-includes.sh" 2>&1) || fail "the tree as it is fails: $out"

check sim/pnp/stack.cpp '#include "sim/peers/stick/descriptors.h"' \
    'includes "sim/peers/stick/descriptors.h": sim/pnp sits below sim/peers'
check sim/kernel/mdl_mapping.cpp '#include "sim/usb/urb_buffers.h"' \
    'includes "sim/usb/urb_buffers.h": sim/kernel sits below sim/usb'
check sim/core/verifier.cpp '#include "sim/kernel/thread_state.h"' \
    'includes "sim/kernel/thread_state.h": sim/core sits below sim/kernel'
check sim/hid/collection.h '#include "sim/pnp/stack.h"' 'sim/hid sits below sim/pnp'
check sim/usb/usbd.cpp '#include "sim/wdf/device.h"' 'sim/usb and sim/wdf sit side by side'
check sim/peers/stick/stick.cpp '#include "xusb/xusb_pdo.h"' \
    "the simulator uses only the driver's public header"
check hid/hid_probe.cpp '#include "driver/device_add.h"' 'hid sits below driver'

finish "include layering"

#!/usr/bin/env bash
# Fails when an include points the wrong way between layers.
#
# Driver folders, bottom to top:
#   platform  OS services, the trace routine, the memory buffers and the
#             device context every part of the driver shares
#   mapping   decoding, composition, the remap store, curves, LED state
#   xusb      the emulated controller
#   appapi    the application's requests and data items
#   hid       probe, setup, teardown, worker and reader threads
#   driver    entry, device add, the hardware lifecycle, forwarding
# A file may include its own folder and those below it. The device context
# alone gathers the per-device records of the folders above it. Driver code
# never includes the simulator: platform/platform.h chooses the headers.
# Within and across folders, no two source files (a header with its .cpp)
# include each other, directly or round a longer loop.
#
# sim/ folders, bottom to top; folders on one row sit side by side and do not
# include each other:
#   wdk                 the WDK's own headers, included by name ("ntddk.h")
#   core                verifier, fault injection, traces, race points, text
#   kernel              threads and IRQL, dispatcher objects, IRPs, MDLs, pool
#   io registry         device and file objects, names, synchronous calls; the
#                       registry
#   usb wdf hid win32   USBD and URBs; the framework; the HID class, its parser
#                       and the PDO a collection hangs off; the application's
#                       file API
#   pnp                 the PnP manager: loads drivers, builds and removes
#                       stacks of whatever collection a peer describes
#   peers               the stick, the class drivers, the application
# A lower layer that needs something from above offers a hook the upper one
# fills in (the kernel finds a URB's MDL through sim/usb's finder; core names
# threads through the kernel's reader). Of the driver, sim/ includes only the
# public header an application uses too.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(platform mapping xusb appapi hid driver)
declare -A rank
for i in "${!layers[@]}"; do
    rank[${layers[$i]}]=$i
done
# The records platform/device_context.h may gather from above.
context_records=(appapi/quillex_public.h hid/worker_record.h mapping/arcade_state.h
    mapping/canonical_state.h)

failures=0
fail() {
    echo "check-includes: $1" >&2
    failures=$((failures + 1))
}

# Prints "file line included" for each quoted include under the folders named.
quoted_includes() {
    git ls-files --cached --others --exclude-standard -- "$@" |
        grep -E '\.(h|cpp)$' |
        while read -r file; do
            [[ -f "$file" ]] && printf '%s\0' "$file"
        done |
        xargs -0 -r grep -nHE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' |
        sed -E 's|^([^:]+):([0-9]+):.*"([^"]+)".*|\1 \2 \3|' || true
}

while read -r file line included; do
    from=${file%%/*}
    to=${included%%/*}
    where="$file:$line includes \"$included\""
    if [[ $to == sim || $to == tests || $to == tools ]]; then
        fail "$where: driver code reaches the simulator only through platform/platform.h"
        continue
    fi
    [[ -n ${rank[$to]+set} ]] || continue
    ((rank[$to] <= rank[$from])) && continue
    if [[ $file == platform/device_context.h ]] &&
        printf '%s\n' "${context_records[@]}" | grep -qxF "$included"; then
        continue
    fi
    fail "$where: $from sits below $to (order: ${layers[*]})"
done < <(quoted_includes "${layers[@]}")

# Loops between source files: a header and its .cpp count as one. Every file
# includes platform/platform.h, whose trace header platform/trace.cpp defines,
# so that umbrella is left out.
edges=$(quoted_includes "${layers[@]}" | while read -r file _ included; do
    from=${file%.*}
    to=${included%.*}
    if [[ $from != "$to" && $to != platform/platform ]]; then
        echo "$from $to"
    fi
done | sort -u)
if ! loop=$(tsort <<<"$edges" 2>&1 >/dev/null) || [[ -n $loop ]]; then
    fail "source files include each other round a loop:
$loop"
fi

# sim/: ranks, where folders of one rank are side by side.
sim_rows=("wdk" "core" "kernel" "io registry" "usb wdf hid win32" "pnp" "peers")
declare -A sim_rank
for i in "${!sim_rows[@]}"; do
    for folder in ${sim_rows[$i]}; do
        sim_rank[$folder]=$i
    done
done
sim_public_headers=(appapi/quillex_public.h)

while read -r file line included; do
    from=${file#sim/}
    from=${from%%/*}
    where="$file:$line includes \"$included\""
    if [[ -z ${sim_rank[$from]+set} ]]; then
        fail "$file: sim/$from has no place in the simulator's layers (scripts/check-includes.sh)"
        continue
    fi
    if [[ $included != sim/* ]]; then
        to=${included%%/*}
        if [[ $to == tests || $to == tools || $to == bench || $to == fuzz ]]; then
            fail "$where: the simulator does not reach into $to/"
        elif [[ -n ${rank[$to]+set} ]] &&
            ! printf '%s\n' "${sim_public_headers[@]}" | grep -qxF "$included"; then
            fail "$where: the simulator uses only the driver's public header (${sim_public_headers[*]})"
        fi
        continue
    fi
    to=${included#sim/}
    to=${to%%/*}
    [[ $to == "$from" ]] && continue
    if [[ -z ${sim_rank[$to]+set} ]]; then
        fail "$where: sim/$to has no place in the simulator's layers"
    elif ((sim_rank[$to] == sim_rank[$from])); then
        fail "$where: sim/$from and sim/$to sit side by side"
    elif ((sim_rank[$to] > sim_rank[$from])); then
        fail "$where: sim/$from sits below sim/$to (order, bottom first: $(printf '[%s] ' "${sim_rows[@]}" | sed 's/ $//'))"
    fi
done < <(quoted_includes sim)

if ((failures)); then
    echo "check-includes: $failures include(s) or loop(s) against the layering" >&2
    exit 1
fi
echo "check-includes: every include points down in the driver and in sim/, and no driver source files loop"

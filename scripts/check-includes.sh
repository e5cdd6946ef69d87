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
            [[ -f "$file" ]] || continue
            grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
                sed -E "s|^([0-9]+):.*\"([^\"]+)\".*|$file \\1 \\2|" || true
        done
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

if ((failures)); then
    echo "check-includes: $failures include(s) or loop(s) against the layering" >&2
    exit 1
fi
echo "check-includes: every include points down, and no source files loop"

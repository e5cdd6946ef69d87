#!/usr/bin/env bash
# Runs a libFuzzer target from fuzz/ for a number of seconds or executions.
#   scripts/fuzz.sh TARGET SECONDS     e.g. scripts/fuzz.sh urb_fuzz 60
#   scripts/fuzz.sh TARGET --runs N    until N executions, e.g. --runs 10000000
#   scripts/fuzz.sh all SECONDS        every target in turn
#   scripts/fuzz.sh --list             the targets
# Targets are built with AddressSanitizer and UBSan into build-address-undefined/
# (the folder scripts/run-tests.sh --sanitize address,undefined uses). Each run
# starts from the seed corpus in fuzz/corpus/TARGET and keeps what it finds in
# build-address-undefined/fuzz-corpus/TARGET; a crashing input is saved as
# build-address-undefined/fuzz-findings/TARGET-crash-* and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

targets() {
    sed -n 's/^quillex_fuzz_target(\([a-z_]*\) .*/\1/p' fuzz/CMakeLists.txt
}

if [[ "${1:-}" == "--list" ]]; then
    targets
    exit 0
fi
usage() {
    echo "usage: scripts/fuzz.sh TARGET|all SECONDS, or TARGET|all --runs EXECUTIONS (targets: $(targets | tr '\n' ' '))" >&2
    exit 2
}
number() { [[ "$1" =~ ^[0-9]+$ ]] && (($1 >= 1)); }
target="${1:-}"
if (($# == 2)) && number "$2"; then
    limit="-max_total_time=$2"
    what="${2} s"
elif (($# == 3)) && [[ "$2" == --runs ]] && number "$3"; then
    limit="-runs=$3"
    what="$3 executions"
else
    usage
fi
if [[ "$target" != all ]] && ! targets | grep -qx "$target"; then
    echo "fuzz.sh: no target '$target' (targets: $(targets | tr '\n' ' '))" >&2
    exit 2
fi

scripts/install-deps.sh
dir=build-address-undefined
flags="-O1 -gline-tables-only -DNDEBUG"
cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" -DQUILLEX_SANITIZE=address,undefined \
    -DQUILLEX_BUILD_BENCH=OFF >/dev/null

supp="$PWD/scripts/sanitizer-suppressions"
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:suppressions=$supp/ubsan.supp"
export LSAN_OPTIONS="suppressions=$supp/lsan.supp"

# libFuzzer options of a target's own.
target_options() {
    case "$1" in
    # Its two sticks stay plugged from input to input, and their threads and
    # the trace log allocate between inputs: libFuzzer would take every input
    # for a possible leak and scan the whole heap after it. The target checks
    # pool blocks and framework objects after each input itself, and the leak
    # check at exit still runs.
    # An input's cost grows with its length, a request or so per five bytes:
    # at libFuzzer's 4 KB the corpus drifts to hundreds of requests an input
    # and a run to a third of its speed. 1 KB still holds two hundred
    # requests, or one with the largest buffer the target sends.
    control_request_fuzz) echo "-detect_leaks=0 -max_len=1024" ;;
    # A .reg text names every key by its whole path, so reading a file of
    # nested keys and writing it back costs the square of its depth: left
    # free, the corpus drifts to long chains of nested keys and a run slows
    # from thousands of inputs a second to hundreds (at 1 KB, a thousand).
    # 640 bytes hold the seed with every kind of value, or keys 300 levels
    # deep.
    reg_file_fuzz) echo "-max_len=640" ;;
    # Every value an input writes is read back at device add: an input's cost
    # grows with its values. 1 KB holds all 29 of the record's values as
    # DWORDs three times over, or a few with long data and names of their own.
    remap_registry_fuzz) echo "-max_len=1024" ;;
    esac
}

# The memory a run may reach, in MB. Every input of hid_descriptor_fuzz
# builds a simulated machine whose PnP manager has a thread of its own, and
# the reader one more once the device opens; AddressSanitizer keeps about 200
# bytes for every thread a process has ever made, so ten million inputs add
# 4 GB to the run's memory without a leak.
rss_limit() {
    case "$1" in
    hid_descriptor_fuzz) echo 6144 ;;
    *) echo 2048 ;;
    esac
}

run_one() {
    local name="$1"
    cmake --build "$dir" -j2 --target "$name" >/dev/null
    local corpus="$dir/fuzz-corpus/$name" findings="$dir/fuzz-findings" log="$dir/fuzz-$name.log"
    mkdir -p "$corpus" "$findings"
    echo "== $name: $what from fuzz/corpus/$name"
    local status=0 start=$SECONDS
    # shellcheck disable=SC2046 # the options are words
    "$dir/fuzz/$name" "$limit" $(target_options "$name") -timeout=20 -rss_limit_mb="$(rss_limit "$name")" \
        -print_final_stats=1 -artifact_prefix="$findings/$name-" \
        "$corpus" "fuzz/corpus/$name" >"$log" 2>&1 || status=$?
    local runs cov
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1 || true)
    echo "   ${runs:-?} executions in $((SECONDS - start)) s, ${cov:-cov: ?}, corpus $(find "$corpus" -type f | wc -l) inputs"
    if ((status != 0)); then
        tail -60 "$log"
        echo "== $name: FAILED (status $status), input saved in $findings/, full log $log" >&2
        return 1
    fi
    echo "   findings: 0"
}

if [[ "$target" == all ]]; then
    failed=0
    for t in $(targets); do
        run_one "$t" || failed=1
    done
    exit "$failed"
fi
run_one "$target"

#!/usr/bin/env bash
# Builds Quillex and runs every test, then checks formatting and the layering
# of includes.
#   scripts/run-tests.sh                               plain build in build/
#   scripts/run-tests.sh --sanitize address,undefined  AddressSanitizer and UBSan, in build-address-undefined/
#   scripts/run-tests.sh --sanitize thread             ThreadSanitizer, in build-thread/
#   ... --exclude-label LABEL                          leave out the tests with that ctest label
# Under a sanitizer the first report fails the test that caused it.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
ctest_args=()
while (($#)); do
    case "$1" in
    --sanitize)
        (($# >= 2)) || { echo "run-tests.sh: --sanitize needs a list, e.g. address,undefined or thread" >&2; exit 2; }
        sanitize="$2"
        shift 2
        ;;
    --sanitize=*)
        sanitize="${1#--sanitize=}"
        shift
        ;;
    --exclude-label)
        (($# >= 2)) || { echo "run-tests.sh: --exclude-label needs a ctest label, e.g. stress" >&2; exit 2; }
        ctest_args+=(-LE "$2")
        shift 2
        ;;
    *)
        echo "run-tests.sh: unknown argument '$1' (only --sanitize LIST and --exclude-label LABEL)" >&2
        exit 2
        ;;
    esac
done

jobs="$(nproc)"
((jobs > 2)) && jobs=2

if [[ -z "$sanitize" ]]; then
    scripts/build.sh
    (cd build && ctest --output-on-failure -j"$jobs" "${ctest_args[@]}")
    scripts/check-format.sh
    scripts/check-includes.sh
    exit 0
fi

case "$sanitize" in
address | undefined | address,undefined | undefined,address | thread) ;;
*)
    echo "run-tests.sh: --sanitize takes address,undefined or thread (ThreadSanitizer cannot share a build with AddressSanitizer), not '$sanitize'" >&2
    exit 2
    ;;
esac

scripts/install-deps.sh
dir="build-${sanitize//,/-}"
start=$SECONDS
# clang: its sanitizer runtimes, and libFuzzer for the fuzz targets that the
# AddressSanitizer build also holds. -O1 keeps the reports' stacks whole.
flags="-O1 -gline-tables-only -DNDEBUG"
cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" -DQUILLEX_SANITIZE="$sanitize" \
    -DQUILLEX_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$jobs"
built=$SECONDS

supp="$PWD/scripts/sanitizer-suppressions"
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:suppressions=$supp/ubsan.supp"
export LSAN_OPTIONS="suppressions=$supp/lsan.supp"
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:history_size=4:suppressions=$supp/tsan.supp"
status=0
(cd "$dir" && ctest --output-on-failure -j"$jobs" "${ctest_args[@]}") || status=$?
echo "sanitize $sanitize: build $((built - start)) s, tests $((SECONDS - built)) s"
exit "$status"

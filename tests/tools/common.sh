# What every shell test starts with, sourced as
#   source "$(dirname "$0")/common.sh"
# Strict mode; a scratch folder $dir that goes at exit, after the commands
# given to at_exit (servers to stop, tmux to end); fail, which counts without
# stopping, so that one run reports every case; and finish, the closing line.
set -uo pipefail
dir=$(mktemp -d)
exit_commands=()
# at_exit COMMAND: run at exit, before the scratch folder goes, in order.
at_exit() { exit_commands+=("$1"); }
run_exit_commands() {
    local command
    for command in "${exit_commands[@]}"; do
        eval "$command"
    done
    rm -rf "$dir"
}
trap run_exit_commands EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# finish WHAT: exits 1 after any failure, else says "WHAT: all cases pass".
finish() {
    if ((failures)); then
        echo "$1: $failures failure(s)" >&2
        exit 1
    fi
    echo "$1: all cases pass"
}
# wait_for_socket PATH: until a server has made its socket (20 s at most);
# a bound against a hang, not a speed test.
wait_for_socket() {
    local _
    for _ in $(seq 400); do
        [[ -S $1 ]] && return 0
        sleep 0.05
    done
    return 1
}

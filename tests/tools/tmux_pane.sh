# A terminal for a shell test, run by tmux on a server of the test's own,
# sourced after common.sh as
#   source "$(dirname "$0")/tmux_pane.sh"
# tmux_ runs tmux on that server. pane_start NAME WIDTH HEIGHT COMMAND starts
# COMMAND in a pane of its own, in $dir, with its exit code shown after it
# ("exit N"); screen prints what the pane $pane shows, and wait_for TEXT
# [SECONDS] waits until it shows TEXT.
if ! command -v tmux >/dev/null; then
    echo "FAIL: tmux is not installed (scripts/install-deps.sh installs it)" >&2
    exit 1
fi
tmux_socket="quillex-test-$$"
tmux_() { tmux -L "$tmux_socket" "$@"; }
at_exit 'tmux_ kill-server 2>/dev/null'
# A session that outlives each run's: killing the last session makes the tmux
# server exit on its own time, and a new session started meanwhile can reach
# the dying server ("server exited unexpectedly").
tmux_ new-session -d -s keeper 'sleep 3600' || {
    echo "FAIL: tmux could not start a server" >&2
    exit 1
}
pane=""
pane_start() {
    pane="$1"
    tmux_ kill-session -t "$pane" 2>/dev/null
    tmux_ new-session -d -s "$pane" -x "$2" -y "$3" -c "$dir" "$4; echo \"exit \$?\"; sleep 60"
}
screen() { tmux_ capture-pane -t "$pane" -p -S -200; }
# A bound against a hang (20 s unless given), not a speed test.
wait_for() {
    local _
    for _ in $(seq $((${2:-20} * 10))); do
        screen | grep -qF -- "$1" && return 0
        sleep 0.1
    done
    return 1
}

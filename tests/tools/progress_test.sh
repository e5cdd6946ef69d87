#!/usr/bin/env bash
# Progress of a long run, in a terminal run by tmux: a line on stderr once
# the run has lasted a few seconds, cleared at the end, never in stdout or
# in --json, and never when stderr is not a terminal.
set -uo pipefail
sim="$1"
dir=$(mktemp -d)
socket="quillex-progress-$$"
tmux_() { tmux -L "$socket" "$@"; }
trap 'tmux_ kill-server 2>/dev/null; rm -rf "$dir"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
command -v tmux >/dev/null || { echo "FAIL: tmux is not installed" >&2; exit 1; }
tmux_ new-session -d -s keeper 'sleep 3600' || { echo "FAIL: tmux could not start" >&2; exit 1; }
screen() { tmux_ capture-pane -t run -p; }
# wait_for TEXT: until the pane shows TEXT, or 20 s have passed (a bound
# against a hang, not a speed test).
wait_for() {
    for _ in $(seq 200); do
        screen | grep -qF -- "$1" && return 0
        sleep 0.1
    done
    return 1
}
# run COMMAND: in a fresh pane, its exit code shown after it.
run() {
    tmux_ kill-session -t run 2>/dev/null
    tmux_ new-session -d -s run -x 120 -y 20 -c "$dir" "$1; echo \"exit \$?\"; sleep 60"
}
# A session of four seconds: the wait between its steps is a long run's.
printf '%s\n' '@0ms BTN_A "press"' '@4000ms "release"' >"$dir/long.session"

run "'$sim' --layout a --script long.session >out.txt"
wait_for 'quillex-sim: step 1 of 2, the session at ' || fail "no progress line: $(screen)"
wait_for 'exit 0' || fail "the long run did not end: $(screen)"
screen | grep -q 'quillex-sim: step' && fail "the progress line was left on screen: $(screen)"
grep -q 'quillex-sim: step' "$dir/out.txt" && fail "the progress went to stdout"
grep -q 'release' "$dir/out.txt" || fail "the run's lines are missing: $(tail -3 "$dir/out.txt")"

# With --json the document on stdout is whole, and the progress is on stderr.
run "'$sim' --layout a --script long.session --json >doc.json"
wait_for 'quillex-sim: step 1 of 2' || fail "no progress line with --json: $(screen)"
wait_for 'exit 0' || fail "the --json run did not end: $(screen)"
jq -e '.sticks[0].steps | length == 2' "$dir/doc.json" >/dev/null ||
    fail "--json with progress is no whole document: $(head -c 300 "$dir/doc.json")"

# The run's own lines on the same terminal: the progress line is cleared
# before each, so none is broken by it.
run "'$sim' --layout a --script long.session"
wait_for 'quillex-sim: step 1 of 2' || fail "no progress line beside the run's lines: $(screen)"
wait_for 'exit 0' || fail "the run on the terminal did not end"
screen | grep -q 'quillex-sim: step' && fail "the progress line was left among the lines: $(screen)"
screen | grep -q 'driver unloaded' || fail "the run's last line is missing: $(screen)"

# stderr that is no terminal gets no progress.
(cd "$dir" && "$sim" --layout a --script long.session >out2.txt 2>err.txt)
[[ -s $dir/out2.txt ]] || fail "the run without a terminal printed nothing"
grep -q 'quillex-sim: step' "$dir/err.txt" && fail "progress written to a file: $(cat "$dir/err.txt")"

((failures == 0)) || exit 1
echo "progress: shown on a terminal for a long run, cleared, never in stdout or a file"

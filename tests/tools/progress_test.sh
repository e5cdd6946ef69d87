#!/usr/bin/env bash
# Progress of a long run, in a terminal run by tmux: a line on stderr once
# the run has lasted a few seconds, cleared at the end, never in stdout or
# in --json, and never when stderr is not a terminal.
sim="$1"
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/tmux_pane.sh"
# A session of four seconds: the wait between its steps is a long run's.
printf '%s\n' '@0ms BTN_A "press"' '@4000ms "release"' >"$dir/long.session"

pane_start run 120 20 "'$sim' --layout a --script long.session >out.txt"
wait_for 'quillex-sim: step 1 of 2, the session at ' || fail "no progress line: $(screen)"
wait_for 'exit 0' || fail "the long run did not end: $(screen)"
screen | grep -q 'quillex-sim: step' && fail "the progress line was left on screen: $(screen)"
grep -q 'quillex-sim: step' "$dir/out.txt" && fail "the progress went to stdout"
grep -q 'release' "$dir/out.txt" || fail "the run's lines are missing: $(tail -3 "$dir/out.txt")"

# With --json the document on stdout is whole, and the progress is on stderr.
pane_start run 120 20 "'$sim' --layout a --script long.session --json >doc.json"
wait_for 'quillex-sim: step 1 of 2' || fail "no progress line with --json: $(screen)"
wait_for 'exit 0' || fail "the --json run did not end: $(screen)"
jq -e '.sticks[0].steps | length == 2' "$dir/doc.json" >/dev/null ||
    fail "--json with progress is no whole document: $(head -c 300 "$dir/doc.json")"

# The run's own lines on the same terminal: the progress line is cleared
# before each, so none is broken by it.
pane_start run 120 20 "'$sim' --layout a --script long.session"
wait_for 'quillex-sim: step 1 of 2' || fail "no progress line beside the run's lines: $(screen)"
wait_for 'exit 0' || fail "the run on the terminal did not end"
screen | grep -q 'quillex-sim: step' && fail "the progress line was left among the lines: $(screen)"
screen | grep -q 'driver unloaded' || fail "the run's last line is missing: $(screen)"

# stderr that is no terminal gets no progress.
(cd "$dir" && "$sim" --layout a --script long.session >out2.txt 2>err.txt)
[[ -s $dir/out2.txt ]] || fail "the run without a terminal printed nothing"
grep -q 'quillex-sim: step' "$dir/err.txt" && fail "progress written to a file: $(cat "$dir/err.txt")"

finish "progress"

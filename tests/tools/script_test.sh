#!/usr/bin/env bash
# quillex-sim --script: a written session plays on the stick, a mapping
# change in it takes effect from the next report, and a mistake in the file
# stops the run before it starts, naming file, line and column.
sim="$1"
source "$(dirname "$0")/common.sh"

cat >"$dir/swap.session" <<'SESSION'
# A gives A, then Y once the mapping says so.
@0ms   A                "press A"
+5ms   set BTN_A=3
+5ms                    "release"
+5ms   A   hat=up       "press A again"
SESSION
out=$("$sim" --layout b --script "$dir/swap.session" 2>&1) || fail "run failed: $out"
grep -q '#00 @0ms    press A' <<<"$out" || fail "first step not shown"
grep -A2 '#01 @5ms    set BTN_A=3' <<<"$out" | grep -q 'the mapping changed and was saved' ||
    fail "set step"
grep -A4 'press A again' <<<"$out" | grep -q 'buttons held: BTN_A (Y)' ||
    fail "the held button is not named with the new mapping"
grep -A4 'press A again' <<<"$out" | grep -q 'game buttons Y DPAD_UP ' ||
    fail "the class driver did not read Y after the change"
[[ $(grep -c '^#' <<<"$out") -eq 4 ]] || fail "not four steps"

printf '@0ms A\n+5ms A hat=north\n' >"$dir/bad.session"
out=$("$sim" --layout a --script "$dir/bad.session" 2>&1)
[[ $? -eq 1 ]] || fail "a bad script did not fail the run"
grep -q "bad.session:2:12: the hat points up" <<<"$out" || fail "error without place: $out"
grep -q 'driver loaded' <<<"$out" && fail "the run started despite the bad script"

out=$("$sim" --script "$dir/none.session" 2>&1)
grep -q 'none.session: No such file or directory' <<<"$out" || fail "missing file: $out"

finish "scripts"

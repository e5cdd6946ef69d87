#!/usr/bin/env bash
# Application requests in a session script go through the device interface
# and the six control codes at their time: a mapping change mid-session
# changes the composed reports from that step on, the driver's refusals
# come back with its status, and every answer is in the output, the JSON
# and the recording.
sim="$1"
source "$(dirname "$0")/common.sh"
# step N: the lines of step #N of the run in $out.
step() { awk -v n="#$1 " 'index($0, n) == 1 { on = 1; print; next } /^#/ { on = 0 } on' <<<"$out"; }

cat >"$dir/app.session" <<'SESSION'
@0ms   A                          "A before"
+5ms   set BTN_A=3 SWAP_TRIGGERS=1
+5ms   A lt=200                   "A after"
+5ms   get-mapping
+5ms   get-value 27               "an id the driver does not know"
+5ms   set-value DPAD=9
+5ms   get-value DPAD
+5ms   set-state B hat=up rt=7
+5ms   get-state
+5ms   restore-defaults
+5ms   A                          "A once more"
SESSION
out=$("$sim" --layout a --script "$dir/app.session" --record "$dir/app.jsonl" 2>"$dir/err") ||
    fail "run failed: $(cat "$dir/err")"

step 00 | grep -q 'xbox \[00 14 00 10 ' || fail "A before the change: $(step 00)"
step 01 | grep -q 'IOCTL_QUILLEX_SET_MAPPING: success' || fail "set: $(step 01)"
step 02 | grep -q 'buttons held: BTN_A (Y)' || fail "held button not named anew: $(step 02)"
# Y, and the left trigger's 200 goes out as the right one: both values apply.
step 02 | grep -q 'xbox \[00 14 00 80 00 C8 ' || fail "A after the change: $(step 02)"
step 03 | grep -q 'BTN_A=3(Y) .* SWAP_TRIGGERS=1 ' || fail "get-mapping: $(step 03)"
step 04 | grep -q 'an id the driver does not know: get-value 27' || fail "label: $(step 04)"
step 04 | grep -q 'IOCTL_QUILLEX_GET_VALUE: STATUS_INVALID_DEVICE_REQUEST (0xC0000010), Windows error 1' ||
    fail "bad id: $(step 04)"
step 05 | grep -q 'IOCTL_QUILLEX_SET_VALUE: STATUS_INVALID_PARAMETER (0xC000000D), Windows error 87' ||
    fail "d-pad 9: $(step 05)"
step 05 | grep -q pushed && fail "a refused value was pushed: $(step 05)"
step 06 | grep -q 'DPAD = 8' || fail "get-value DPAD after the refusal: $(step 06)"
step 07 | grep -q 'game buttons B DPAD_UP  LT 7  RT 0' || fail "set-state push: $(step 07)"
step 07 | grep -q '(endpoint 1)' || fail "set-state not delivered: $(step 07)"
step 08 | grep -q 'buttons BTN_B; d-pad 0;' || fail "get-state: $(step 08)"
step 10 | grep -q 'xbox \[00 14 00 10 ' || fail "A after restore-defaults: $(step 10)"
grep -q 'Unknown DataItemId (27)' "$dir/err" || fail "the driver's trace of the bad id is missing"

# The recording holds every answer and replays to a match.
line=$(sed -n 5p "$dir/app.jsonl")
[[ $(jq -r '"\(.request)|\(.code)|\(.status)|\(.win32_error)"' <<<"$line") == \
    'get-value 27|IOCTL_QUILLEX_GET_VALUE|c0000010|1' ]] || fail "recorded bad id: $line"
[[ $(sed -n 7p "$dir/app.jsonl" | jq -r '.reply') == "08 00 00 00" ]] || fail "recorded reply"
out=$("$sim" --expect "$dir/app.jsonl" 2>&1) || fail "replay: $(grep -A2 differs <<<"$out")"
grep -q 'recording check: all 11 steps match' <<<"$out" || fail "replay: no summary"
# A recorded answer the driver no longer gives fails the check at that step.
sed '5s/"c0000010"/"00000000"/' "$dir/app.jsonl" >"$dir/changed.jsonl"
"$sim" --expect "$dir/changed.jsonl" >/dev/null 2>"$dir/err"
[[ $? -eq 1 ]] || fail "a changed answer passed the check"
grep -q 'at step 4 of stick A @20ms "an id the driver does not know", status:' "$dir/err" ||
    fail "diff of an answer: $(cat "$dir/err")"

# --json: the same answers in the run's document.
"$sim" --layout a --script "$dir/app.session" --json >"$dir/run.json" 2>/dev/null ||
    fail "--json run failed"
[[ $(jq -r '.sticks[0].steps[5] | "\(.request)|\(.status)|\(.meaning)"' "$dir/run.json") == \
    'set-value DPAD=9|c000000d|failed: STATUS_INVALID_PARAMETER (0xC000000D), Windows error 87' ]] ||
    fail "--json request: $(jq -c '.sticks[0].steps[5]' "$dir/run.json")"

# Mistakes in a request name the line and column.
printf '@0ms A\n+5ms get-value WHEEL\n' >"$dir/bad.session"
out=$("$sim" --script "$dir/bad.session" 2>&1)
[[ $? -eq 1 ]] || fail "a bad request did not fail the run"
grep -q "bad.session:2:16: 'WHEEL' is no data item" <<<"$out" || fail "bad request: $out"

finish "application requests"

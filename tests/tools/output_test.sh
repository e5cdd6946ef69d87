#!/usr/bin/env bash
# What quillex-sim prints for a person, and --json for a program: the
# explanation once at the top, held buttons with the Xbox button they give,
# the LED in words, the class driver's count adding up to the report lines;
# --json a single document that agrees with itself.
sim="$1"
source "$(dirname "$0")/common.sh"

out=$("$sim" --layout a 2>&1) || fail "run failed"
[[ $(grep -c 'How to read what follows' <<<"$out") -eq 1 ]] || fail "explanation not once"
grep -q 'buttons held: BTN_A (A) BTN_PWR (GUIDE)' <<<"$out" || fail "held buttons not named"
grep -q 'LED state 2 (player 1)' <<<"$out" || fail "LED not in words"
sent=$(grep -c '(endpoint 1)$' <<<"$out")
line=$(grep 'class driver: [0-9]* reports read' <<<"$out")
[[ $line =~ ([0-9]+)\ reports\ read:\ ([0-9]+)\ sent.*,\ ([0-9]+)\ the ]] || fail "count line: $line"
[[ ${BASH_REMATCH[2]} -eq $sent ]] || fail "count says ${BASH_REMATCH[2]} sent, $sent lines say so"
[[ ${BASH_REMATCH[1]} -eq $((BASH_REMATCH[2] + BASH_REMATCH[3])) ]] || fail "counts do not add up"

"$sim" --json >"$dir/run.json" 2>"$dir/err" || fail "--json run failed: $(cat "$dir/err")"
[[ $(head -c1 "$dir/run.json") == "{" ]] || fail "--json printed more than the document"
cmake -DJSON_FILE="$dir/run.json" -P "$(dirname "$0")/check_run_json.cmake" >/dev/null 2>"$dir/err" ||
    fail "--json document: $(cat "$dir/err")"

# The driver's traces: marked as the driver's; one it emits for every push is
# shown three times and counted, unless --trace asks for every one.
printf '@0ms set-state A\n+5ms set-state B\n+5ms set-state A\n+5ms set-state B\n+5ms set-state A\n+5ms set-state B\n' >"$dir/push.session"
"$sim" --layout a --script "$dir/push.session" >"$dir/out" 2>"$dir/err" || fail "push run failed"
[[ $(grep -c 'Send IR to PDO' "$dir/err") -eq 3 ]] || fail "per-push trace not held to 3: $(cat "$dir/err")"
grep -q '^driver: Quillex!AppApi_AppToQuillex' "$dir/err" || fail "trace not marked as the driver's"
grep -q 'driver trace repeated 3 more times' "$dir/out" || fail "held-back traces not counted"
"$sim" --layout a --script "$dir/push.session" --trace 2 >/dev/null 2>"$dir/err"
[[ $(grep -c 'Send IR to PDO' "$dir/err") -eq 6 ]] || fail "--trace 2 did not show every push"
"$sim" --layout a --script "$dir/push.session" --trace 0 >/dev/null 2>"$dir/err"
[[ ! -s "$dir/err" ]] || fail "--trace 0 showed traces: $(cat "$dir/err")"

finish "output"

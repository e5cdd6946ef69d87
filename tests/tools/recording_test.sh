#!/usr/bin/env bash
# Recordings as a regression check: the committed recording of each model
# still matches; a deliberately changed mapping fails at the first step it
# changes with a readable diff; a fresh recording (mapping changes included)
# replays to a match; a damaged recording is refused with its line.
sim="$1"
recordings="$2"
source "$(dirname "$0")/common.sh"

for model in a b; do
    out=$("$sim" --expect "$recordings/layout-$model.jsonl" 2>&1) ||
        fail "layout $model no longer matches its recording: $(grep differs -A2 <<<"$out")"
    grep -q "recording check: all 9 steps match" <<<"$out" || fail "layout $model: no summary"
done

# The built-in sessions of the arcade settings, each against its recording.
for session in triggers lever-modes turbo; do
    out=$("$sim" --expect "$recordings/$session.jsonl" 2>&1) ||
        fail "session $session no longer matches its recording: $(grep differs -A2 <<<"$out")"
    grep -q "recording check: all .* steps match" <<<"$out" || fail "session $session: no summary"
done

# A gives Y: the first report with A held differs, in its button byte.
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Quillex\Parameters\Remap]' \
    '"BTN_A"=dword:00000003' >"$dir/a-gives-y.reg"
"$sim" --expect "$recordings/layout-a.jsonl" --registry "$dir/a-gives-y.reg" \
    >"$dir/out" 2>"$dir/err"
[[ $? -eq 1 ]] || fail "a changed mapping passed the check"
expected='quillex-sim: the run differs from '"$recordings"'/layout-a.jsonl at step 2 of stick A @40ms "press A", xbox:
  expected "00 14 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
  got      "00 14 00 80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"'
[[ $(head -3 "$dir/err") == "$expected" ]] || fail "diff: $(cat "$dir/err")"
grep -q '#03' "$dir/out" && fail "the check went on past the first difference"

# A fresh recording of both models, with a mapping change, replays.
printf '%s\n' '@0ms A "A"' '+2ms set SWAP_STICKS=1' '+2ms lx=0 "left"' >"$dir/s.session"
"$sim" --script "$dir/s.session" --record "$dir/s.jsonl" >/dev/null 2>&1 || fail "record"
[[ $(wc -l <"$dir/s.jsonl") -eq 6 ]] || fail "not 6 recorded steps"
out=$("$sim" --expect "$dir/s.jsonl" 2>&1) || fail "the fresh recording does not replay: $out"
grep -q "all 6 steps match" <<<"$out" || fail "fresh recording: no summary"

head -1 "$recordings/layout-a.jsonl" >"$dir/bad.jsonl"
echo '{"model": "A", "at_us": 5, "raw": "zz"' >>"$dir/bad.jsonl"
out=$("$sim" --expect "$dir/bad.jsonl" 2>&1)
[[ $? -eq 1 ]] || fail "a damaged recording was accepted"
grep -q "bad.jsonl:2: not a JSON object" <<<"$out" || fail "damaged recording: $out"

# A label that is not text is refused with its line, not a crash.
head -1 "$recordings/layout-a.jsonl" | sed 's/"what":"at rest"/"what":5/' >"$dir/number.jsonl"
out=$("$sim" --expect "$dir/number.jsonl" 2>&1)
[[ $? -eq 1 ]] || fail "a label that is a number was accepted"
grep -q 'number.jsonl:1: "what" is not text' <<<"$out" || fail "label not text: $out"

finish "recordings"

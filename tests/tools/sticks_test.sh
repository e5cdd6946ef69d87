#!/usr/bin/env bash
# quillex-sim --sticks N: N sticks plugged together, the models in turn, each
# with its own emulated controller and player light, in every mode: the
# sessions, a script that speaks to one stick, --json, a capture with a
# device address per controller, a recording that names its sticks and
# replays them together.
sim="$1"
source "$(dirname "$0")/common.sh"

# Five sticks: A B A B A, players 1 to 4, and the fifth without a light.
out=$("$sim" --sticks 5 2>&1) || fail "--sticks 5 failed: $(tail -5 <<<"$out")"
for n in 1 3 5; do
    grep -q "== plugged stick $n HID\\\\VID_1234&PID_0402" <<<"$out" || fail "stick $n is not model A"
done
for n in 2 4; do
    grep -q "== plugged stick $n HID\\\\VID_1234&PID_0403" <<<"$out" || fail "stick $n is not model B"
done
leds=$(grep -o 'LED: the class driver sent 01 03 [0-9A-F]*, LED state [0-9] ([a-z0-9 ]*)' <<<"$out")
expected='LED: the class driver sent 01 03 06, LED state 2 (player 1)
LED: the class driver sent 01 03 07, LED state 3 (player 2)
LED: the class driver sent 01 03 08, LED state 4 (player 3)
LED: the class driver sent 01 03 09, LED state 5 (player 4)
LED: the class driver sent 01 03 01, LED state 0 (no player light)'
[[ $leds == "$expected" ]] || fail "player lights: $leds"
[[ $(grep -c '^stick [1-5] #08 @160ms  release all' <<<"$out") -eq 5 ]] ||
    fail "not every stick played its session to the end"
[[ $(grep -c 'device removed' <<<"$out") -eq 5 ]] || fail "not every stick was unplugged"
grep -q '0 framework objects left' <<<"$out" || fail "the driver left objects behind"

# --layout b: all of model B.
out=$("$sim" --sticks 2 --layout b 2>&1) || fail "--sticks 2 --layout b failed"
[[ $(grep -c '== plugged stick [12] HID\\VID_1234&PID_0403' <<<"$out") -eq 2 ]] ||
    fail "--layout b did not plug two B sticks"

# A script: lines for every stick, and one for stick 2 alone.
cat >"$dir/two.session" <<'SESSION'
@0ms   A                  "all press A"
+5ms   stick=2 B          "two presses B"
+5ms   stick=1 get-state
+5ms                      "all release"
SESSION
out=$("$sim" --sticks 2 --script "$dir/two.session" 2>&1) || fail "script run failed: $out"
grep -A5 '^stick 2 #01 @5ms    two presses B' <<<"$out" | grep -q 'game buttons B ' ||
    fail "stick 2 did not play its own line"
grep -q '^stick 1 #01 @10ms   get-state' <<<"$out" || fail "stick 1 did not send its request"
grep -q '^stick 2 #02' <<<"$out" && grep -q '^stick 2 #02 @15ms   all release' <<<"$out" ||
    fail "stick 2's steps are not its own"
grep -q '^stick 1 #0[0-9] .*two presses B' <<<"$out" && fail "stick 1 played stick 2's line"
printf '@0ms stick=3 A\n' >"$dir/three.session"
out=$("$sim" --sticks 2 --script "$dir/three.session" 2>&1)
[[ $? -eq 1 ]] || fail "a line for a stick not plugged was accepted"
grep -q 'three.session:1:12: stick 3 is not plugged: this run plugs 2' <<<"$out" ||
    fail "unplugged stick: $out"

# --json: one object per stick, with its number and player.
"$sim" --sticks 3 --json >"$dir/run.json" 2>"$dir/err" || fail "--json: $(cat "$dir/err")"
players=$(jq -r '[.sticks[] | "\(.stick)\(.model)\(.controller.player)\(.controller.led_state)"] | join(" ")' \
    "$dir/run.json")
[[ $players == "1A12 2B23 3A34" ]] || fail "--json sticks: $players"
[[ $(jq '[.sticks[].steps | length] | add' "$dir/run.json") -eq 27 ]] || fail "--json steps"

# --pcap: one capture, each controller its own device address and LED command.
"$sim" --sticks 3 --pcap "$dir/three.pcap" >/dev/null 2>&1 || fail "--pcap run failed"
leds=$(tshark -r "$dir/three.pcap" -Y 'usb.endpoint_address == 0x02 && usb.capdata' \
    -T fields -e usb.device_address -e usb.capdata 2>/dev/null | tr '\t\n' ': ')
[[ $leds == "1:010306 2:010307 3:010308 " ]] || fail "LED commands by device: '$leds'"
reports=$(tshark -r "$dir/three.pcap" -Y 'usb.endpoint_address == 0x81 && usb.capdata' \
    -T fields -e usb.device_address 2>/dev/null | sort -u | tr '\n' ' ')
[[ $reports == "1 2 3 " ]] || fail "endpoint 1 reports by device: '$reports'"

# A recording names its sticks, and replays them plugged together; a change
# that only stick 2 sees is reported at stick 2.
"$sim" --sticks 2 --script "$dir/two.session" --record "$dir/two.jsonl" >/dev/null 2>&1 ||
    fail "record"
[[ $(jq -r '.stick' "$dir/two.jsonl" | sort | uniq -c | tr -s ' ' | tr '\n' ',') == " 3 1, 3 2," ]] ||
    fail "recorded steps per stick: $(jq -r .stick "$dir/two.jsonl" | tr '\n' ' ')"
out=$("$sim" --expect "$dir/two.jsonl" 2>&1) || fail "the recording does not replay: $out"
grep -q 'recording check: all 6 steps match' <<<"$out" || fail "replay: no summary"
grep -q 'LED state 3 (player 2)' <<<"$out" || fail "the replay did not plug the sticks together"
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Quillex\Parameters\Remap]' \
    '"BTN_B"=dword:00000002' >"$dir/b-gives-x.reg"
"$sim" --expect "$dir/two.jsonl" --registry "$dir/b-gives-x.reg" >/dev/null 2>"$dir/err"
[[ $? -eq 1 ]] || fail "a changed mapping passed the check"
grep -q 'differs from .*two.jsonl at step 1 of stick 2 (B) @5ms "two presses B", xbox:' \
    "$dir/err" || fail "diff does not name stick 2: $(cat "$dir/err")"
# A recording whose steps name no stick 1 is refused before anything runs.
grep '"stick":2' "$dir/two.jsonl" >"$dir/only2.jsonl"
out=$("$sim" --expect "$dir/only2.jsonl" 2>&1)
[[ $? -eq 1 ]] || fail "a recording without stick 1 was accepted"
grep -q 'only2.jsonl: stick 1 has no step' <<<"$out" || fail "missing stick: $out"

# --serve: the N sticks are served, plugged together.
"$sim" --serve "$dir/serve.sock" --sticks 3 >"$dir/serve.out" 2>&1 &
server=$!
wait_for_socket "$dir/serve.sock"
kill -TERM "$server" 2>/dev/null
wait "$server" || fail "--serve --sticks 3 did not stop cleanly: $(cat "$dir/serve.out")"
[[ $(grep -c '^== serving stick #[123], product id 0x40[23]' "$dir/serve.out") -eq 3 ]] ||
    fail "--serve did not serve three sticks: $(cat "$dir/serve.out")"

finish "sticks"

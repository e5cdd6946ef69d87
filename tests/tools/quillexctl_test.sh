#!/usr/bin/env bash
# quillexctl as a player uses it, against a quillex-sim --serve machine: every
# change reaches the driver through the I/O manager, and the class driver's
# next report shows it.
sim="$1"
ctl="$2"
source "$(dirname "$0")/common.sh"
sock="$dir/quillex.sock"
server=""
at_exit '[[ -n $server ]] && { kill -TERM "$server" 2>/dev/null; wait "$server" 2>/dev/null; }'

"$sim" --serve "$sock" --layout a --registry "$dir/machine.reg" >"$dir/server" 2>"$dir/server.err" &
server=$!
wait_for_socket "$sock" || { cat "$dir/server" "$dir/server.err" >&2; echo "FAIL: no socket" >&2; exit 1; }
q() { "$ctl" --connect "$sock" "$@"; }

# The state block starts at its defaults.
q state >"$dir/state" || fail "state"
grep -q '^DPAD  *8' "$dir/state" || fail "state: no centred DPAD: $(cat "$dir/state")"
q --json state | grep -q '"LED": 3' || fail "state --json: no LED 3"

# Items by name and id; out of range refused with the range, nothing sent.
q set dpad 2 >/dev/null || fail "set dpad 2"
[[ "$(q get 18)" == "DPAD = 2" ]] || fail "get 18 after set dpad 2: $(q get 18)"
q set dpad 9 2>"$dir/err" && fail "set dpad 9 accepted"
grep -q "valid values are 0 to 8" "$dir/err" || fail "set dpad 9: $(cat "$dir/err")"
q set LED 3 >/dev/null || fail "set LED 3"
q set nosuch 1 2>"$dir/err"; [[ $? -eq 2 ]] || fail "unknown item not a usage error"

# A mapping change shows in the next report the class driver reads.
q mapping set BTN_A=y SWAP_TRIGGERS=1 L_STICK_X_CP_1=0x40 >"$dir/mapping" || fail "mapping set"
grep -q '^BTN_A  *= 0x03  Y' "$dir/mapping" || fail "mapping set: BTN_A not Y: $(head -2 "$dir/mapping")"
q --json mapping | grep -q '"L_STICK_X_CP_1": 64' || fail "mapping --json: no L_STICK_X_CP_1 64"
q set BTN_A 1 >/dev/null || fail "set BTN_A 1"
for _ in $(seq 1 100); do
    grep -q 'class driver read buttons Y ' "$dir/server" && break
    sleep 0.05
done
grep -q 'class driver read buttons Y ' "$dir/server" || fail "no report with Y: $(tail -3 "$dir/server")"
q mapping set BTN_A=14 2>"$dir/err" && fail "BTN_A=14 accepted"
grep -q "GUIDE (10) NONE (11) LT (12) RT (13)" "$dir/err" || fail "BTN_A=14: $(cat "$dir/err")"

# Export, restore the defaults, import: the exported mapping is back.
q mapping export "$dir/mine.reg" >/dev/null || fail "export"
iconv -f UTF-16 -t UTF-8 "$dir/mine.reg" | grep -q '"SWAP_TRIGGERS"=dword:00000001' ||
    fail "export: no SWAP_TRIGGERS"
q mapping defaults | grep -q '^BTN_A  *= 0x00  A' || fail "defaults: BTN_A not A"
q mapping import "$dir/mine.reg" | grep -q '^SWAP_TRIGGERS  *= 0x01  on' || fail "import"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quillex\\Parameters\\Remap]\r\n"SWAP_STICKS"=dword:00000002\r\n' >"$dir/bad.reg"
q mapping import "$dir/bad.reg" 2>"$dir/err" && fail "SWAP_STICKS=2 imported"
grep -q 'SWAP_STICKS.*0 (off) or 1 (on)' "$dir/err" || fail "bad import: $(cat "$dir/err")"
q --json mapping | grep -q '"SWAP_STICKS": 0' || fail "a refused import changed the mapping"

# The curves, plotted: a panel each, with its axes and control points.
q curves --svg "$dir/curves.svg" >/dev/null || fail "curves"
q curves --json >"$dir/curves.json" || fail "curves --json"
grep -q '"L_STICK_X":{"control_points":\[64,165\]' "$dir/curves.json" ||
    fail "curves --json: L_STICK_X is not (64, 165)"
"$(dirname "$0")/check_curves_svg.py" "$dir/curves.svg" "$dir/curves.json" || fail "curves --svg"

# The arcade settings: shown, changed, checked by the tool and by the driver.
q mode left | grep -q '^DPAD_MODE  *= 1  left' || fail "mode left: $(q mode left)"
q mode sideways 2>"$dir/err"; [[ $? -eq 2 ]] || fail "mode sideways is not a usage error"
q turbo BTN_A b --rate 20 | grep -q '^TURBO_MASK  *= 0x0003  BTN_A BTN_B' || fail "turbo A B"
[[ "$(q get TURBO_RATE)" == "TURBO_RATE = 20" ]] || fail "turbo --rate 20: $(q get TURBO_RATE)"
q turbo a --rate 31 2>"$dir/err"; [[ $? -eq 2 ]] || fail "--rate 31 is not a usage error"
q turbo nosuch 2>"$dir/err"; [[ $? -eq 2 ]] || fail "turbo nosuch is not a usage error"
grep -q "no button 'nosuch'" "$dir/err" || fail "turbo nosuch: $(cat "$dir/err")"
q set TURBO_RATE 1 2>"$dir/err"; [[ $? -eq 1 ]] || fail "rate 1 not refused by the driver"
grep -q 'STATUS_INVALID_PARAMETER' "$dir/err" || fail "rate 1: $(cat "$dir/err")"
q hotkeys on | grep -q '^HOTKEYS  *= 1  on' || fail "hotkeys on"
q --json mapping >"$dir/json"
grep -q '"dpad_mode": "left"' "$dir/json" || fail "mapping --json: no dpad_mode"
grep -q '"TURBO_RATE": 20' "$dir/json" || fail "mapping --json: no TURBO_RATE"
q mapping set BTN_X=rt BTN_Y=LT | grep -q '^BTN_X  *= 0x0D  RT' || fail "BTN_X=rt"
q mapping | grep -q '^BTN_Y  *= 0x0C  LT' || fail "BTN_Y=LT"
q mapping | grep -q '^TURBO_MASK  *= 0x0003' || fail "mapping does not show the settings"
[[ "$(q get INTERFACE_VERSION)" == "INTERFACE_VERSION = 2" ]] || fail "interface version"
# The arcade settings go into an export and come back with its import.
q mapping export "$dir/arcade.reg" >/dev/null || fail "export with the settings"
iconv -f UTF-16 -t UTF-8 "$dir/arcade.reg" >"$dir/arcade.txt"
for v in '"DPAD_MODE"=dword:00000001' '"TURBO_MASK"=dword:00000003' \
    '"TURBO_RATE"=dword:00000014' '"HOTKEYS"=dword:00000001'; do
    grep -qF "$v" "$dir/arcade.txt" || fail "export: no $v"
done
q mapping defaults >/dev/null || fail "defaults"
q --json mapping | grep -q '"TURBO_MASK": 0' || fail "defaults kept the turbo buttons"
q mapping import "$dir/arcade.reg" >/dev/null || fail "import with the settings"
q --json mapping | jq -c '.settings | [.DPAD_MODE, .TURBO_MASK, .TURBO_RATE, .HOTKEYS]' \
    >"$dir/settings"
[[ $(cat "$dir/settings") == "[1,3,20,1]" ]] || fail "import: the settings are $(cat "$dir/settings")"
q --json mapping | grep -q '"BTN_X": 13' || fail "import with the settings lost BTN_X=rt"
sed 's/"TURBO_RATE"=dword:00000014/"TURBO_RATE"=dword:0000001f/' "$dir/arcade.txt" |
    iconv -f UTF-8 -t UTF-16 >"$dir/fast.reg"
q mapping set SWAP_STICKS=1 >/dev/null
q mapping import "$dir/fast.reg" 2>"$dir/err"; [[ $? -eq 2 ]] || fail "TURBO_RATE 31 imported"
grep -q '"TURBO_RATE" is 31, out of range; it takes 2 to 30' "$dir/err" ||
    fail "TURBO_RATE 31: $(cat "$dir/err")"
q --json mapping | grep -q '"SWAP_STICKS": 1' || fail "a refused import changed the mapping"
q mapping set SWAP_STICKS=0 >/dev/null
q turbo off | grep -q '(no turbo)' || fail "turbo off"
q hotkeys off >/dev/null && q mode dpad >/dev/null || fail "back to the d-pad"

# The friction a player meets: options after the command, --version, sticks
# counted from 1, words where numbers go, slips of the fingers.
q mapping --json | grep -q '"BTN_A"' || fail "mapping --json: an option after the command"
"$ctl" --version | grep -qE '^quillexctl [0-9]+\.[0-9]+\.[0-9]+$' || fail "--version"
[[ "$(q --stick 1 get 18)" == "$(q --device 0 get 18)" ]] || fail "--stick 1 is not --device 0"
q --stick 2 state 2>"$dir/err"; [[ $? -eq 1 ]] || fail "--stick 2 of one stick accepted"
grep -q "no stick 2 to open: the machine has 1 (--stick 1 to 1)" "$dir/err" || fail "--stick 2: $(cat "$dir/err")"
q --stick 0 state 2>"$dir/err"; [[ $? -eq 2 ]] || fail "--stick 0 is not a usage error"
q set dpad abc 2>"$dir/err"; [[ $? -eq 2 ]] || fail "set dpad abc is not a usage error"
grep -q "DPAD: 'abc' is not a number" "$dir/err" || fail "set dpad abc: $(cat "$dir/err")"
q bogus 2>"$dir/err"; [[ $? -eq 2 ]] || fail "bogus is not a usage error"
grep -q "'bogus' is not a command" "$dir/err" || fail "bogus: $(cat "$dir/err")"
q mapings 2>"$dir/err"
grep -q "did you mean 'mapping'" "$dir/err" || fail "mapings: $(cat "$dir/err")"
q get DPADD 2>"$dir/err"
grep -q "did you mean DPAD?" "$dir/err" || fail "get DPADD: $(cat "$dir/err")"
q mapping set BTN_Q=y 2>"$dir/err"
grep -q "did you mean BTN_A?" "$dir/err" || fail "BTN_Q=y: $(cat "$dir/err")"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quillex\\Parameters\\Remap]\r\n"SWAP_STICKS"=dword:00000001\r\n"BTN_Q"=dword:00000003\r\n' >"$dir/typo.reg"
q mapping import "$dir/typo.reg" 2>"$dir/err"; [[ $? -eq 2 ]] || fail "a misspelt import was applied"
grep -q 'typo.reg:5: "BTN_Q" is no value of the mapping (did you mean BTN_A?)' "$dir/err" ||
    fail "typo import: $(cat "$dir/err")"
q --json mapping | grep -q '"SWAP_STICKS": 0' || fail "a refused import changed the mapping"
q mapping import "$dir/typo.reg" --ignore-unknown >/dev/null 2>"$dir/err" ||
    fail "--ignore-unknown: $(cat "$dir/err")"
grep -q 'warning: .*"BTN_Q"' "$dir/err" || fail "--ignore-unknown does not warn"
q --json mapping | grep -q '"SWAP_STICKS": 1' || fail "--ignore-unknown did not import"
q mapping set SWAP_STICKS=0 >/dev/null

# Several clients at once.
clients=()
for i in 1 2 3 4; do
    q set LEFT_STICK_X $((i * 10)) >/dev/null &
    clients+=($!)
done
for c in "${clients[@]}"; do
    wait "$c" || fail "a concurrent client failed"
done
q state >/dev/null || fail "state after concurrent clients"

kill -TERM "$server"
wait "$server" || fail "server exited $?"
server=""
grep -q 'stopped serving' "$dir/server" || fail "server did not stop cleanly"
iconv -f UTF-16 -t UTF-8 "$dir/machine.reg" | grep -q '"BTN_A"=dword:00000003' ||
    fail "the mapping did not persist in the machine's registry"

finish "quillexctl end to end"

#!/usr/bin/env bash
# quillex-sim with a .reg file, as a player uses it: a hand-written file is
# read, explained by --print-mapping, left untouched by a run that changes
# nothing and kept with its comments by one that does; a file that could not
# be written back stops the run before it starts.
set -uo pipefail
sim="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
remap='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Quillex\Parameters\Remap'

printf '%s\n' 'REGEDIT4' '' '; my stick: A gives Y' "[$remap]" '"BTN_A"=dword:3' \
    '"BTN_B"=dword:1ff' '"SWAP_STICKS"="1"' '"Typo"=dword:1' '"DPAD_MODE"=dword:2' \
    '"TURBO_RATE"=dword:63' \
    '"ENABLE_SCALING"=hex:01,00,00,00,00,00,00,00,00,00' >"$dir/hand.reg"
cp "$dir/hand.reg" "$dir/original.reg"
touch -d '2020-01-01' "$dir/hand.reg"

out=$("$sim" --layout a --registry "$dir/hand.reg" --print-mapping 2>&1) || fail "run failed: $out"
grep -q 'BTN_A  *= 0x03  Y  *(REG_DWORD 0x00000003)' <<<"$out" || fail "BTN_A not shown as stored"
grep -q 'warning: 255 is no Xbox button' <<<"$out" || fail "no range warning for BTN_B"
grep -q 'warning: not a 4-byte REG_DWORD: the driver takes the number 0x00000031' <<<"$out" ||
    fail "no type warning for SWAP_STICKS"
grep -q 'warning: more than 8 bytes of data' <<<"$out" || fail "no length warning"
grep -A1 'Typo' <<<"$out" | grep -q 'the driver does not read this value' || fail "no warning for Typo"
grep -q 'left stick X   ( 90, 165): centred 128 gives 128' <<<"$out" || fail "curves not explained"
grep -q 'DPAD_MODE  *= 0x02  right stick  *(REG_DWORD 0x00000002)' <<<"$out" ||
    fail "the lever's mode not shown as stored"
grep -A1 'TURBO_RATE  *= 0x0f' <<<"$out" | grep -q 'warning: 99 is out of range' ||
    fail "no range warning for TURBO_RATE"
grep -q "registry unchanged: $dir/hand.reg left as it was" <<<"$out" || fail "unchanged run not said"
cmp -s "$dir/hand.reg" "$dir/original.reg" || fail "a run that changed nothing changed the file"
[[ $(stat -c %Y "$dir/hand.reg") -eq $(date -d 2020-01-01 +%s) ]] || fail "file rewritten"

out=$("$sim" --layout a --registry "$dir/hand.reg" --save-mapping 2>&1) || fail "save failed: $out"
grep -q "registry written to" <<<"$out" || fail "saving run did not write"
grep -q '^; my stick: A gives Y$' "$dir/hand.reg" || fail "comment lost"
grep -q '^"BTN_A"=dword:3$' "$dir/hand.reg" || fail "unchanged value rewritten"
grep -q '^"BTN_X"=dword:00000002$' "$dir/hand.reg" || fail "saved value missing"
[[ $(head -1 "$dir/hand.reg") == REGEDIT4 ]] || fail "header or encoding changed"

out=$("$sim" --layout a --save-mapping 2>&1) || fail "run without a file failed"
grep -q 'nothing persists' <<<"$out" || fail "--save-mapping without --registry does not say so"

out=$("$sim" --layout a --registry "$dir/missing/x.reg" 2>&1)
rc=$?
[[ $rc -ne 0 ]] || fail "an unwritable place was accepted"
grep -q 'No such file or directory' <<<"$out" || fail "no system reason: $out"
grep -q 'driver loaded' <<<"$out" && fail "the run started before the file was checked"

((failures == 0)) || exit 1
echo "registry file: all cases pass"

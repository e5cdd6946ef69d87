#!/usr/bin/env bash
# quillex-sim with a .reg file, as a player uses it: a hand-written file is
# read, explained by --print-mapping, left untouched by a run that changes
# nothing and kept with its comments by one that does; a file that could not
# be written back stops the run before it starts.
sim="$1"
source "$(dirname "$0")/common.sh"
remap='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Quillex\Parameters\Remap'

printf '%s\n' 'REGEDIT4' '' '; my stick: A gives Y' "[$remap]" '"BTN_A"=dword:3' \
    '"BTN_B"=dword:1ff' '"SWAP_STICKS"="1"' '"Typo"=dword:1' '"DPAD_MODE"=dword:2' \
    '"TURBO_RATE"=dword:63' \
    '"ENABLE_SCALING"=hex:01,00,00,00,00,00,00,00,00,00' >"$dir/hand.reg"
cp "$dir/hand.reg" "$dir/original.reg"
touch -d '2020-01-01' "$dir/hand.reg"

out=$("$sim" --layout a --registry "$dir/hand.reg" --print-mapping 2>&1) || fail "run failed: $out"
grep -q 'BTN_A  *= 0x03  Y  *(REG_DWORD 0x00000003)' <<<"$out" || fail "BTN_A not shown as stored"
# Said as the driver does it: a value that is not a REG_DWORD byte is ignored.
grep -A1 '^  BTN_B ' <<<"$out" | grep -q 'BTN_B  *= 0x01  B ' || fail "BTN_B not kept at B"
grep -q 'warning: 0x1FF does not fit a byte: the driver ignores it and keeps 0x01' <<<"$out" ||
    fail "no range warning for BTN_B"
grep -q 'warning: not a 4-byte REG_DWORD (REG_SZ, 4 bytes): the driver ignores it and keeps 0x00' \
    <<<"$out" || fail "no type warning for SWAP_STICKS"
grep -q 'warning: not a 4-byte REG_DWORD (REG_BINARY, 10 bytes)' <<<"$out" || fail "no length warning"
grep -q 'only the low byte counts' <<<"$out" && fail "the old reading of BTN_B is still said"
grep -A1 'Typo' <<<"$out" | grep -q 'the driver does not read this value' || fail "no warning for Typo"
grep -q 'left stick X   ( 90, 165): centred 128 gives 128' <<<"$out" || fail "curves not explained"
grep -q 'DPAD_MODE  *= 0x02  right stick  *(REG_DWORD 0x00000002)' <<<"$out" ||
    fail "the lever's mode not shown as stored"
grep -A1 'TURBO_RATE  *= 0x0F' <<<"$out" | grep -q 'warning: 99 is out of range' ||
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

# --usbip reads, prints and writes back the registry as a session run does.
rm -f "$dir/usbip.reg"
out=$("$sim" --layout a --usbip 127.0.0.1:0 --usbip-seconds 0.2 --registry "$dir/usbip.reg" \
    --print-mapping --save-mapping 2>&1) || fail "--usbip with --registry failed: $out"
grep -q 'BTN_A  *= 0x00  A' <<<"$out" || fail "--usbip --print-mapping printed no mapping"
grep -q "registry written to $dir/usbip.reg" <<<"$out" || fail "--usbip did not write the .reg"
cp "$dir/original.reg" "$dir/mine.reg"
out=$("$sim" --layout a --usbip 127.0.0.1:0 --usbip-seconds 0.2 --registry "$dir/mine.reg" \
    --print-mapping 2>&1) || fail "--usbip with a hand-written .reg failed: $out"
grep -q 'BTN_A  *= 0x03  Y' <<<"$out" || fail "--usbip exported the default mapping, not the file's"

# A file that cannot be written is still read, and said so once; a run that
# would change it is refused. (Root writes anything: run as nobody.)
if [[ $(id -u) -eq 0 ]] && command -v setpriv >/dev/null; then
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
else
    as_user=()
fi
ro=$(mktemp -d)
cp "$dir/original.reg" "$ro/ro.reg"
chmod 755 "$ro"
chmod 444 "$ro/ro.reg"
out=$("${as_user[@]}" "$sim" --layout a --registry "$ro/ro.reg" --print-mapping 2>&1) ||
    fail "a read-only .reg stopped --print-mapping: $out"
[[ $(grep -c 'it is only read' <<<"$out") -eq 1 ]] || fail "read-only not said once: $out"
grep -q 'BTN_A  *= 0x03  Y' <<<"$out" || fail "a read-only .reg was not read"
out=$("${as_user[@]}" "$sim" --layout a --registry "$ro/ro.reg" --save-mapping 2>&1)
[[ $? -eq 1 ]] || fail "--save-mapping into a read-only .reg was accepted"
grep -q -- '--save-mapping changes the registry' <<<"$out" || fail "no reason: $out"
[[ $(grep -c 'quillex-sim:' <<<"$out") -eq 1 ]] || fail "more than one error: $out"
rm -rf "$ro"

finish "registry file"

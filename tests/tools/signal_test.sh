#!/usr/bin/env bash
# quillex-sim ends cleanly however it is stopped: Ctrl-C or SIGTERM in a
# session unplugs the sticks, closes the recording whole, writes the changed
# .reg back and prints the summary (and the --json document); --serve and
# --usbip stop on them with exit 0; a SIGKILL during --serve loses no mapping
# change, since each is written to the .reg as it happens.
sim="$1"
ctl="$2"
source "$(dirname "$0")/common.sh"
server=""
at_exit '[[ -n $server ]] && kill -9 $server 2>/dev/null'
# wait_for_line FILE PATTERN: until the running program has said it (10 s at most).
wait_for_line() {
    for _ in $(seq 200); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}
# The registry file's text, whatever its encoding.
reg_text() {
    if [[ $(head -c2 "$1" | od -An -tx1 | tr -d ' ') == fffe ]]; then iconv -f UTF-16 -t UTF-8 "$1"; else cat "$1"; fi
}

# A session that changes the mapping, then waits long enough to be stopped.
cat >"$dir/long.session" <<'SESSION'
@0ms   A                "press A"
+5ms   set BTN_A=3
+5ms                    "release"
+30s                    "never reached"
SESSION

for signal in INT TERM; do
    rm -f "$dir/rec.jsonl" "$dir/m.reg"
    "$sim" --layout a --script "$dir/long.session" --record "$dir/rec.jsonl" \
        --registry "$dir/m.reg" >"$dir/out" 2>"$dir/err" &
    pid=$!
    wait_for_line "$dir/out" '#02 ' || fail "$signal: the session did not start: $(cat "$dir/err")"
    kill -s "$signal" $pid
    wait $pid
    rc=$?
    want=$([[ $signal == INT ]] && echo 130 || echo 143)
    [[ $rc -eq $want ]] || fail "SIG$signal: exit $rc, not $want"
    grep -q 'stopped before step 3' "$dir/out" || fail "SIG$signal: the stop is not said"
    grep -q 'device removed' "$dir/out" || fail "SIG$signal: the stick was not unplugged"
    grep -q 'driver unloaded: 00000000, 0 framework objects left' "$dir/out" ||
        fail "SIG$signal: no summary"
    grep -q "registry written to $dir/m.reg" "$dir/out" || fail "SIG$signal: .reg not written"
    reg_text "$dir/m.reg" | grep -q '"BTN_A"=dword:00000003' || fail "SIG$signal: mapping lost"
    [[ $(wc -l <"$dir/rec.jsonl") -eq 3 ]] || fail "SIG$signal: recording has not 3 lines"
    [[ $(tail -c1 "$dir/rec.jsonl" | od -An -c | tr -d ' ') == '\n' ]] ||
        fail "SIG$signal: the recording ends in half a line"
    "$sim" --expect "$dir/rec.jsonl" >/dev/null 2>"$dir/err" ||
        fail "SIG$signal: --expect refuses the recording: $(cat "$dir/err")"
done

# --json: the document is printed after a stop, and says so.
"$sim" --layout a --script "$dir/long.session" --json >"$dir/run.json" 2>"$dir/err" &
pid=$!
sleep 1
kill -TERM $pid
wait $pid
[[ $? -eq 143 ]] || fail "--json: exit code after SIGTERM"
grep -q '"stopped_by": "Terminated"' "$dir/run.json" || fail "--json: no stop in the document"
grep -q '"exit_code": 143' "$dir/run.json" || fail "--json: no exit code in the document"

# --serve: each mapping change is in the .reg at once; a SIGKILL loses none.
"$sim" --layout a --serve "$dir/s.sock" --registry "$dir/serve.reg" >"$dir/out" 2>&1 &
server=$!
wait_for_line "$dir/out" 'listening on' || fail "serve did not start: $(cat "$dir/out")"
"$ctl" --connect "$dir/s.sock" mapping set BTN_B=guide SWAP_STICKS=1 >/dev/null ||
    fail "mapping set failed"
kill -9 $server
wait $server 2>/dev/null
server=""
reg_text "$dir/serve.reg" | grep -q '"BTN_B"=dword:0000000a' || fail "SIGKILL lost BTN_B"
reg_text "$dir/serve.reg" | grep -q '"SWAP_STICKS"=dword:00000001' || fail "SIGKILL lost SWAP_STICKS"

# --serve and SIGTERM: exit 0, socket gone, the sticks unplugged.
rm -f "$dir/s.sock"
"$sim" --layout a --serve "$dir/s.sock" >"$dir/out" 2>&1 &
server=$!
wait_for_line "$dir/out" 'listening on' || fail "serve did not start again"
kill -TERM $server
wait $server
rc=$?
server=""
[[ $rc -eq 0 ]] || fail "--serve stopped by SIGTERM exited $rc"
grep -q 'stopped serving; sticks unplugged' "$dir/out" || fail "--serve: no clean stop"
[[ ! -e "$dir/s.sock" ]] || fail "--serve left its socket"

# --serve checks its socket before the machine starts.
: >"$dir/plain"
out=$("$sim" --serve "$dir/plain" 2>&1)
[[ $? -eq 1 ]] || fail "a file in the socket's place was accepted"
grep -q 'exists and is not a socket' <<<"$out" || fail "socket refusal: $out"
grep -q 'driver loaded' <<<"$out" && fail "the machine started before the socket was checked"

finish "signals"

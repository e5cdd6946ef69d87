#!/usr/bin/env bash
# quillex-sim's command line as a user meets it: help and version on stdout
# with exit 0; every bad option or value refused on stderr with exit 2, the
# message naming the option and giving one hint line, before anything runs.
sim="$1"
source "$(dirname "$0")/common.sh"

# expect_ok ARGS... : exit 0, nothing on stderr; stdout kept in $dir/stdout.
expect_ok() {
    "$sim" "$@" >"$dir/stdout" 2>"$dir/stderr"
    local rc=$?
    [[ $rc -eq 0 ]] || fail "$* exited $rc"
    [[ ! -s "$dir/stderr" ]] || fail "$* wrote to stderr: $(cat "$dir/stderr")"
}

# expect_usage_error PATTERN ARGS... : exit 2, nothing on stdout, stderr
# matching PATTERN and ending in a hint.
expect_usage_error() {
    local pattern="$1"
    shift
    "$sim" "$@" >"$dir/stdout" 2>"$dir/stderr"
    local rc=$?
    [[ $rc -eq 2 ]] || fail "$* exited $rc, not 2"
    [[ ! -s "$dir/stdout" ]] || fail "$* wrote to stdout: $(head -3 "$dir/stdout")"
    grep -q -- "$pattern" "$dir/stderr" || fail "$*: stderr does not say '$pattern': $(cat "$dir/stderr")"
    [[ $(grep -c 'hint:' "$dir/stderr") -eq 1 ]] || fail "$*: no single hint line"
}

expect_ok --help
grep -q -- '--registry FILE.reg' "$dir/stdout" || fail "--help does not list --registry"
grep -q -- '--layout a|b|both' "$dir/stdout" || fail "--help does not list --layout"
expect_ok --version
grep -qE '^quillex-sim [0-9]+\.[0-9]+\.[0-9]+$' "$dir/stdout" || fail "--version: $(cat "$dir/stdout")"

expect_usage_error '--layout: c not in' --layout c
expect_usage_error '--layout' --layout
expect_usage_error '--registry: the value is empty' --registry ''
expect_usage_error '--registry' --registry=
expect_usage_error 'not expected: --bogus' --bogus
expect_usage_error 'not expected: stray' stray
expect_usage_error '--keyboard requires --live' --keyboard
expect_usage_error '--json: cannot be used with --live: ' --live --json
expect_usage_error '--script: cannot be used with --expect: a recording replays' --expect x.jsonl --script y.session
expect_usage_error '--pcap: the value is empty' --pcap ''
expect_usage_error '--record: 1 required FILE missing' --record=
for n in 0 -2 17 three 2.5; do
    expect_usage_error "--sticks: .*N is 1 to 16" --sticks "$n"
done
expect_usage_error '--sticks: cannot be used with --expect' --sticks 2 --expect x.jsonl
expect_usage_error '--usbip 10.1.2.3:3240: 10.1.2.3 can be reached from other machines' --usbip 10.1.2.3:3240
for s in 0 -1 fast 1e9; do
    expect_usage_error "--speed: '$s' is not a speed" --speed "$s"
done
grep -q '^  130 ' <("$sim" --help) || fail '--help does not list the exit codes'

finish "command line"

#!/usr/bin/env bash
# Runs build-windows/quillexctl.exe under Wine, in a fresh prefix, as a player
# on a machine without the driver would, and checks what it does:
#   - it imports only from Windows' own DLLs (KERNEL32, msvcrt, SETUPAPI,
#     SHELL32, WS2_32):
#     no C++ runtime DLL has to lie beside it;
#   - --version prints "quillexctl VERSION" and --help lists every command,
#     each with exit 0;
#   - a command that needs a stick (state, mapping, --stick 2 get) says
#     "no Quillex stick found" and exits 1, without a crash;
#   - ui serves the configurator page with its own server: the token, the
#     guard's refusals, "no Quillex stick found" to curl and in Chromium, and
#     a clean stop on Ctrl-C;
#   - its .reg writer and reader (mapping export and import) replace a file
#     and read it back whole: tests/windows/mapping_file_wine.cpp, built by
#     build-quillexctl-windows.sh from the same objects.
#
#   scripts/wine-quillexctl.sh [BUILD_DIR]   default build-windows/ (run build-quillexctl-windows.sh first)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(cd "${1:-build-windows}" && pwd)
exe=$out/quillexctl.exe
[[ -f $exe ]] || { echo "wine-quillexctl: no $exe: run scripts/build-quillexctl-windows.sh first" >&2; exit 2; }
command -v wine >/dev/null || { echo "wine-quillexctl: installing wine64" >&2; apt-get install -y -q wine64 >/dev/null; }
command -v curl >/dev/null || { echo "wine-quillexctl: installing curl" >&2; apt-get install -y -q curl >/dev/null; }
version=$(sed -n 's/^set(QUILLEX_SIM_VERSION \([0-9.]*\))$/\1/p' tools/CMakeLists.txt)

failed=0
fault() {
    echo "wine-quillexctl: FAULT $*"
    failed=1
}
ok() {
    echo "wine-quillexctl: OK    $*"
}

dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ')
if [[ $dlls == "kernel32.dll msvcrt.dll setupapi.dll shell32.dll ws2_32.dll " ]]; then
    ok "imports only from $dlls"
else
    fault "quillexctl.exe imports from $dlls(expected kernel32.dll msvcrt.dll setupapi.dll shell32.dll ws2_32.dll)"
fi

work="$out/wine-quillexctl"
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX="$work/prefix" WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -k >/dev/null 2>&1 || true
timeout 300 wine wineboot --init >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

# run NAME ARGS...: stdout, stderr (Wine's own lines about a missing 32-bit
# Wine left out, carriage returns dropped) and the exit status, in $work.
run() {
    local name=$1
    shift
    local status=0
    timeout 120 wine "$exe" "$@" >"$work/$name.raw-out" 2>"$work/$name.raw-err" || status=$?
    tr -d '\r' <"$work/$name.raw-out" >"$work/$name.out"
    tr -d '\r' <"$work/$name.raw-err" | grep -v 'wine32\|multiarch\|dpkg --add\|i386' >"$work/$name.err" || true
    echo "$status" >"$work/$name.status"
}
status() { cat "$work/$1.status"; }
show() { sed 's/^/    /' "$work/$1.out" "$work/$1.err" | head -8; }

run version --version
if [[ $(status version) == 0 && $(cat "$work/version.out") == "quillexctl $version" ]]; then
    ok "--version prints quillexctl $version"
else
    fault "--version exited $(status version) and printed:"; show version
fi

run help --help
missing=""
for command in state get set mapping mode turbo hotkeys curves ui; do
    grep -Eq "^  $command " "$work/help.out" || missing+=" $command"
done
if [[ $(status help) == 0 && -z $missing ]]; then
    ok "--help lists every command"
else
    fault "--help exited $(status help), missing:$missing"; show help
fi

for args in "state" "mapping" "--stick 2 get BTN_A"; do
    name=$(echo "$args" | tr ' ' '_')
    # shellcheck disable=SC2086
    run "$name" $args
    if [[ $(status "$name") == 1 ]] && grep -q '^quillexctl: no Quillex stick found' "$work/$name.err"; then
        ok "'$args' says that no Quillex stick is found, exit 1"
    else
        fault "'$args' exited $(status "$name") and printed:"; show "$name"
    fi
done

# The configurator: quillexctl.exe ui serves its page with its own server.
# With no stick present it starts, keeps its token, refuses what its guard
# refuses, says that no stick is found (to curl and to Chromium), and stops
# on Ctrl-C (SIGINT, which Wine hands to the console's handler).
timeout 120 wine "$exe" ui --no-browser >"$work/ui.raw-out" 2>"$work/ui.raw-err" &
ui_pid=$!
url=""
for _ in $(seq 1 600); do
    url=$(tr -d '\r' <"$work/ui.raw-out" | grep -o 'http://127\.0\.0\.1:[0-9]*/?token=[0-9a-f]\{64\}' || true)
    [[ -n $url ]] && break
    kill -0 $ui_pid 2>/dev/null || break
    sleep 0.1
done
if [[ -z $url ]]; then
    fault "ui printed no address:"
    tr -d '\r' <"$work/ui.raw-out" | sed 's/^/    /' | head -8
    kill $ui_pid 2>/dev/null || true
else
    ok "ui serves at $url"
    origin=${url%%/?token=*}
    port=${origin##*:}
    token=${url##*token=}
    cookie="quillex_ui=$token"
    # check WHAT EXPECTED_STATUS CURL_ARGS...: the status, and the body in $work/ui.body
    check() {
        local what=$1 expected=$2
        shift 2
        local got
        got=$(curl -s -o "$work/ui.body" -D "$work/ui.head" -w '%{http_code}' --max-time 10 "$@" || true)
        if [[ $got == "$expected" ]]; then
            ok "ui: $what: $got"
        else
            fault "ui: $what: $got, not $expected"
        fi
    }
    check "the printed address sets the cookie" 303 "$url"
    grep -qi '^Set-Cookie: quillex_ui=.*SameSite=Strict' "$work/ui.head" ||
        fault "ui: no SameSite=Strict cookie: $(grep -i '^Set-Cookie' "$work/ui.head")"
    check "the page, with the cookie" 200 -H "Cookie: $cookie" "$origin/"
    grep -q 'src="/app.js"' "$work/ui.body" || fault "ui: the page is not the configurator's"
    grep -qi "^Content-Security-Policy: default-src 'none'" "$work/ui.head" || fault "ui: no Content-Security-Policy"
    check "its script" 200 -H "Cookie: $cookie" "$origin/app.js"
    check "the sticks" 200 -H "Cookie: $cookie" "$origin/api/sticks"
    grep -q '"sticks":0' "$work/ui.body" && grep -q 'no Quillex stick found' "$work/ui.body" ||
        fault "ui: /api/sticks does not say that no stick is found: $(head -c 200 "$work/ui.body")"
    check "no token" 403 "$origin/api/sticks"
    check "a wrong token" 403 -H "Cookie: quillex_ui=0123" "$origin/api/sticks"
    check "a foreign Host" 403 -H "Cookie: $cookie" -H "Host: rebound.example:$port" "$origin/api/sticks"
    check "a foreign Origin" 403 -H "Cookie: $cookie" -H "Origin: http://evil.example" \
        -H "Content-Type: application/json" -d '{"values":{"BTN_A":1}}' "$origin/api/mapping?stick=0"
    head -c 70000 /dev/zero | tr '\0' x >"$work/ui.large"
    check "a body over 64 KiB" 413 -H "Cookie: $cookie" -H "Origin: $origin" \
        -H "Content-Type: application/json" --data-binary "@$work/ui.large" "$origin/api/mapping?stick=0"
    check "a change with no stick" 502 -H "Cookie: $cookie" -H "Origin: $origin" \
        -H "Content-Type: application/json" -d '{"values":{"BTN_A":1}}' "$origin/api/mapping?stick=0"
    curl -s -N --max-time 3 -H "Cookie: $cookie" "$origin/api/events?stick=0" >"$work/ui.events" || true
    if grep -q '^data: .*"message":"No Quillex stick found. Plug the stick in, and check in Device Manager that' "$work/ui.events"; then
        ok "ui: the live events say that no stick is found"
    else
        fault "ui: the live events: $(head -c 300 "$work/ui.events")"
    fi
    # The page itself in headless Chromium (the browser tests' own libraries).
    browser="$(pwd)/tests/browser"
    if [[ ! -x /usr/bin/chromium ]] || ! command -v node >/dev/null; then
        fault "ui: no Chromium or node for the page (scripts/install-deps.sh installs both)"
    else
        [[ -f $browser/node_modules/playwright-core/package.json ]] ||
            (cd "$browser" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
        if timeout 120 node "$browser/page-without-stick.mjs" "$url" "$work/ui-no-stick.png" >"$work/ui.page" 2>&1; then
            ok "ui in Chromium: $(tail -1 "$work/ui.page") (screenshot: $work/ui-no-stick.png)"
        else
            fault "ui in Chromium:"; sed 's/^/    /' "$work/ui.page" | head -20
        fi
    fi
    kill -INT $ui_pid
    ui_status=0
    wait $ui_pid || ui_status=$?
    if [[ $ui_status == 0 ]] && tr -d '\r' <"$work/ui.raw-out" | grep -q '^quillexctl ui: stopped$'; then
        ok "ui stops on Ctrl-C, exit 0"
    else
        fault "ui after Ctrl-C exited $ui_status and printed:"
        tr -d '\r' <"$work/ui.raw-out" | sed 's/^/    /' | tail -4
    fi
fi

files="$work/mapping-files"
mkdir -p "$files"
rc=0
(cd "$files" && timeout 120 wine "$out/quillexctl/mapping_file_wine.exe" . >"$work/mapping-files.out" 2>&1) ||
    rc=$?
tr -d '\r' <"$work/mapping-files.out" | grep -v 'wine32\|multiarch\|dpkg --add\|i386' >"$work/mapping-files.log" || true
if [[ $rc == 0 ]] && grep -q '^[1-9][0-9]* passed, 0 failed$' "$work/mapping-files.log"; then
    ok "mapping files: $(tail -1 "$work/mapping-files.log")"
else
    fault "the mapping files' test exited $rc:"; sed 's/^/    /' "$work/mapping-files.log"
fi

if ((failed)); then
    echo "wine-quillexctl: quillexctl.exe failed its checks under Wine"
    exit 1
fi
echo "wine-quillexctl: quillexctl.exe runs under Wine and reports that no stick is present"

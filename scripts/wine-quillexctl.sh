#!/usr/bin/env bash
# Runs build-windows/quillexctl.exe under Wine, in a fresh prefix, as a player
# on a machine without the driver would, and checks what it does:
#   - it imports only from Windows' own DLLs (KERNEL32, msvcrt, SETUPAPI):
#     no C++ runtime DLL has to lie beside it;
#   - --version prints "quillexctl VERSION" and --help lists every command,
#     each with exit 0;
#   - a command that needs a stick (state, mapping, --stick 2 get) says
#     "no Quillex stick found" and exits 1, without a crash;
#   - ui says that this build has no page, with exit 2;
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
if [[ $dlls == "kernel32.dll msvcrt.dll setupapi.dll " ]]; then
    ok "imports only from $dlls"
else
    fault "quillexctl.exe imports from $dlls(expected kernel32.dll msvcrt.dll setupapi.dll)"
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

run ui ui --no-browser
if [[ $(status ui) == 2 ]] && grep -q 'has no configurator page' "$work/ui.err"; then
    ok "ui says that this build has no page, exit 2"
else
    fault "ui exited $(status ui) and printed:"; show ui
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

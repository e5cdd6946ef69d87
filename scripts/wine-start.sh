#!/usr/bin/env bash
# Starts build-windows/quillex.sys as a kernel service under Wine, in a fresh
# prefix, with a stand-in framework loader (windows/wine/) built here, and
# checks from the loader's log what the driver did:
#   - the bind asks for KmdfLibrary 1.9.0 with 396 functions;
#   - DriverEntry calls WdfDriverCreate with the driver's EvtDeviceAdd and
#     KMDF 1.9 structure sizes;
#   - the start succeeds, and a stop runs the driver's unload, then unbinds.
#
#   scripts/wine-start.sh [BUILD_DIR]     default build-windows/ (run build-windows.sh first)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(cd "${1:-build-windows}" && pwd)
llvm=/usr/lib/llvm-16/bin
for f in quillex.sys quillex.map kernel-flags quillex_state.exe; do
    [[ -f $out/$f ]] || { echo "wine-start: no $out/$f: run scripts/build-windows.sh first" >&2; exit 2; }
done
if ! command -v wine >/dev/null; then
    echo "wine-start: installing wine64" >&2
    apt-get install -y -q wine64 >/dev/null
fi
wine=$(command -v wine64 || command -v wine)

# The stand-in loader: a kernel-mode library exporting the loader's routines.
mapfile -t flags <"$out/kernel-flags"
work="$out/wine"
rm -rf "$work"
mkdir -p "$work"
"$llvm/clang" -x c++ -std=c++17 -O1 -fno-exceptions -fno-rtti -mno-sse -mno-mmx -mno-80387 \
    -fno-stack-protector -fno-builtin -Wall -Werror -Wno-unknown-pragmas -Wno-microsoft-cast \
    -Wno-unused-command-line-argument "${flags[@]}" -I. -c windows/wine/wdfldr_standin.cpp \
    -o "$work/wdfldr_standin.obj"
"$llvm/lld-link" /nologo /dll /driver /subsystem:native,6.01 /noentry /nodefaultlib \
    /machine:x64 "/out:$work/WDFLDR.SYS" "/implib:$work/wdfldr-standin.lib" "$work/wdfldr_standin.obj" \
    /usr/x86_64-w64-mingw32/lib/libntoskrnl.a

export WINEPREFIX="$work/prefix" WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
log="$WINEPREFIX/drive_c/quillex-wdfldr.log"
# A fresh prefix, set up and settled first; the service is written to its
# registry while no service manager runs, then one server holds the start and
# the stop together: the driver's host process lives as long as it.
wineserver -k >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX"
timeout 300 "$wine" wineboot --init >/dev/null 2>&1
wineserver -k >/dev/null 2>&1 || true
cp "$out/quillex.sys" "$work/WDFLDR.SYS" "$WINEPREFIX/drive_c/windows/system32/drivers/"
key='HKLM\System\CurrentControlSet\Services\Quillex'
for value in 'Type /t REG_DWORD /d 1' 'Start /t REG_DWORD /d 3' 'ErrorControl /t REG_DWORD /d 1' \
    'ImagePath /t REG_SZ /d C:\windows\system32\drivers\quillex.sys'; do
    # shellcheck disable=SC2086
    timeout 120 "$wine" reg add "$key" /v $value /f >/dev/null 2>&1 ||
        { echo "wine-start: cannot write the service's $value" >&2; exit 1; }
done
wineserver -k >/dev/null 2>&1 || true
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

failed=0
fault() {
    echo "wine-start: FAULT $*"
    failed=1
}
# Output to files, not pipes: the service manager and the driver's host
# inherit them and would hold a pipe open.
# Once in several runs on a fresh prefix, Wine's service manager answered the
# start with nothing and the driver was never loaded (no loader log): that
# start is tried once more on a new server, saying so. A driver that does not
# bind fails both.
started=0
timeout 120 "$wine" sc start Quillex >"$work/start.out" 2>&1 && started=1
if ((!started)) && [[ ! -f $log ]]; then
    echo "wine-start: the service manager did not start the service (it said:" \
        "$(tr -d '\r' <"$work/start.out" | grep -v 'wine32\|multiarch\|dpkg\|i386' | tr '\n' ' ')); trying once more"
    wineserver -k >/dev/null 2>&1 || true
    wineserver -p
    timeout 120 "$wine" sc start Quillex >"$work/start.out" 2>&1 && started=1
fi
((started)) ||
    fault "the service did not start: $(grep -v 'wine32\|multiarch\|dpkg\|i386' "$work/start.out")"
sleep 2
timeout 120 "$wine" sc stop Quillex >"$work/stop.out" 2>&1 || fault "the service did not stop"
sleep 2
wineserver -k >/dev/null 2>&1 || true

if [[ ! -f $log ]]; then
    fault "the stand-in loader wrote no log: the driver was never bound"
    exit 1
fi
tr -d '\r' <"$log" >"$work/calls.log"
echo "--- the stand-in loader's log"
cat "$work/calls.log"
echo "---"

expect() {
    local what=$1 pattern=$2
    if grep -Eq "$pattern" "$work/calls.log"; then
        echo "wine-start: OK    $what"
    else
        fault "$what (no line matches '$pattern')"
    fi
}
device_add=$(awk '$2 ~ /^[?]Quillex_EvtDeviceAdd@@/ {print $3; exit}' "$out/quillex.map")
base=$(awk '/Preferred load address is/ {print $NF; exit}' "$out/quillex.map")
[[ -n $device_add && -n $base ]] || fault "quillex.map names no Quillex_EvtDeviceAdd"
device_add_rva=$(printf '0x%x' $((0x$device_add - 0x$base)))

expect "the bind asks for KmdfLibrary 1.9.0 with 396 functions" \
    '^bind size=48 component=KmdfLibrary version=1\.9\.0 functions=396 registry=.*\\Quillex$'
expect "DriverEntry calls WdfDriverCreate with KMDF 1.9 sizes and the driver's EvtDeviceAdd" \
    "^call WdfDriverCreate config=32 attributes=56 device_add_rva=$device_add_rva "
expect "the stop runs the driver's unload" '^unload EvtDriverUnload=1$'
expect "then unbinds with the globals and table of the bind" '^unbind globals_match=1 table_match=1 '
if grep -q ' unanswered$' "$work/calls.log"; then
    fault "the driver made framework calls the stand-in does not answer"
fi
order=$(grep -Eo '^(bind|call WdfDriverCreate|unload|unbind)' "$work/calls.log" | tr '\n' ',')
[[ $order == "bind,call WdfDriverCreate,unload,unbind," ]] || fault "calls out of order: $order"
# The C application of the control interface: with no stick present, it says
# so and exits 1.
timeout 120 "$wine" "$out/quillex_state.exe" >"$work/app.out" 2>&1 && app_status=0 || app_status=$?
if [[ $app_status == 1 ]] && grep -q 'no arcade stick is present' "$work/app.out"; then
    echo "wine-start: OK    quillex_state.exe reports that no stick is present, exit 1"
else
    fault "quillex_state.exe exited $app_status: $(grep -v 'wine32\|multiarch\|dpkg\|i386' "$work/app.out")"
fi
wineserver -k >/dev/null 2>&1 || true

# A DriverEntry that fails: the stand-in fails WdfDriverCreate with
# STATUS_INSUFFICIENT_RESOURCES. The start must fail, and the binding unbind.
rm -f "$log"
wineserver -p
timeout 120 "$wine" reg add "$key" /v StandInFailDriverCreate /t REG_DWORD /d 0xC000009A /f >/dev/null 2>&1
if timeout 120 "$wine" sc start Quillex >"$work/start-failing.out" 2>&1; then
    fault "the service started though DriverEntry failed"
fi
sleep 2
wineserver -k >/dev/null 2>&1 || true
failing=$(tr -d '\r' <"$log" 2>/dev/null | grep -Eo '^(bind|call WdfDriverCreate|refused WdfDriverCreate status=0xc000009a|unload|unbind globals_match=1 table_match=1)' | tr '\n' ',')
if [[ $failing == "bind,call WdfDriverCreate,refused WdfDriverCreate status=0xc000009a,unbind globals_match=1 table_match=1," ]]; then
    echo "wine-start: OK    a failed DriverEntry fails the start and unbinds"
else
    fault "a failed DriverEntry: the loader saw $failing"
fi

if ((failed)); then
    echo "wine-start: the driver's start under Wine failed its checks"
    exit 1
fi
echo "wine-start: quillex.sys binds, starts and unloads under Wine"

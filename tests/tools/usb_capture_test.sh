#!/usr/bin/env bash
# quillex-sim --pcap, read back by tshark as Wireshark would: the enumeration
# dissects (device descriptor, configuration with both endpoints, product
# string, set configuration), the LED command goes out on endpoint 2, every
# report the class driver read is an endpoint 1 completion, and every
# endpoint 1 transfer sent comes back once.
sim="$1"
source "$(dirname "$0")/common.sh"
if ! command -v tshark >/dev/null; then
    echo "FAIL: tshark is not installed (scripts/install-deps.sh installs it)" >&2
    exit 1
fi
field() { # FILTER FIELD...
    local filter="$1"
    shift
    local args=()
    for f in "$@"; do args+=(-e "$f"); done
    tshark -r "$dir/a.pcap" -Y "$filter" -T fields "${args[@]}" 2>/dev/null
}

out=$("$sim" --layout a --pcap "$dir/a.pcap" 2>&1) || fail "run failed: $out"
grep -qE '== USB capture: [0-9]+ packets written to' <<<"$out" || fail "no capture summary"

[[ $(field 'usb.bDescriptorType == 0x01 && usb.idVendor' usb.idVendor usb.idProduct) == \
    $'0x046d\t0x0402' ]] || fail "device descriptor not dissected"
[[ $(field 'usb.bDescriptorType == 0x02 && usb.bNumInterfaces' usb.bConfigurationValue |
    tail -1) == 1 ]] || fail "configuration descriptor not dissected"
field 'usb.bEndpointAddress' usb.bEndpointAddress | grep -q '0x81,0x02' ||
    fail "endpoint descriptors 0x81 and 0x02 not in the configuration"
field 'usb.bString' usb.bString | grep -qx "Torva Galdrune" || fail "product string"
[[ $(field 'usb.setup.bRequest == 9' frame.number | wc -l) -eq 1 ]] || fail "set configuration"
[[ $(field 'usb.endpoint_address == 0x02 && usb.irp_info.direction == 0' usb.capdata) == \
    010306 ]] || fail "LED command on endpoint 2"

# Reports: 20-byte Xbox reports (type 00, length 14) coming back on 0x81.
reports=$(field 'usb.endpoint_address == 0x81 && usb.irp_info.direction == 1 && usb.capdata' \
    usb.capdata)
delivered=$(grep -c '(endpoint 1)' <<<"$out")
[[ $(grep -c '^0014' <<<"$reports") -ge $delivered && $delivered -gt 0 ]] ||
    fail "$delivered reports delivered, capture has: $reports"
grep -q '^0014080000000000000000000000000000000000' <<<"$reports" ||
    fail "the D-pad right report of the session is not in the capture"
sent=$(field 'usb.endpoint_address == 0x81 && usb.irp_info.direction == 0' frame.number | wc -l)
back=$(field 'usb.endpoint_address == 0x81 && usb.irp_info.direction == 1' frame.number | wc -l)
[[ $sent -gt 0 && $sent -eq $back ]] || fail "endpoint 1: $sent transfers sent, $back back"

out=$("$sim" --layout a --pcap "$dir/missing/a.pcap" 2>&1)
[[ $? -ne 0 ]] || fail "an unwritable capture file was accepted"
grep -q 'No such file or directory' <<<"$out" || fail "no reason for the capture file: $out"
grep -q 'driver loaded' <<<"$out" && fail "the run started without its capture"

finish "USB capture"

// What a USB bus monitor sees of the class driver's URBs: each one as it goes
// down to the device and again when it comes back, in USB terms (setup
// packet, endpoint, transfer type, data, USBD status). quillex-sim writes
// them to a capture file.
#pragma once

#include <stdint.h>

#include <functional>
#include <vector>

#include "usb.h"

namespace sim::xbox {

struct UrbEvent {
    const void* device = nullptr; // the child device the URB went to
    uint64_t irpId = 0;           // the same for a request and its completion
    bool completion = false;      // false: on its way down; true: back
    USHORT function = 0;          // URB_FUNCTION_*
    USBD_STATUS usbdStatus = 0;   // on completion
    UCHAR endpoint = 0;           // with the direction bit 0x80 for IN
    enum Transfer : UCHAR { kIsochronous = 0, kInterrupt = 1, kControl = 2, kBulk = 3 };
    Transfer transfer = kControl;
    bool hasSetup = false; // control transfers: the 8 setup bytes as on the bus
    uint8_t setup[8] = {};
    // OUT data on the request, IN data on the completion (what the device
    // reported as transferred).
    std::vector<uint8_t> data;
};

using UrbObserver = std::function<void(const UrbEvent&)>;

// Describes a URB; false for functions a bus monitor does not see as a
// transfer. 'endpointOf' gives the endpoint address behind a pipe handle.
bool DescribeUrb(const URB& urb, bool completion,
                 const std::function<UCHAR(ULONG_PTR pipeHandle)>& endpointOf, UrbEvent* event);

} // namespace sim::xbox

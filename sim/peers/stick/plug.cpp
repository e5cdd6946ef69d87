#include "sim/peers/stick/plug.h"

#include <stdio.h>

#include <memory>
#include <string>

#include "sim/hid/collection.h"
#include "sim/peers/stick/descriptors.h"

namespace sim::stick {

pnp::DeviceDescription ArcadeStick(uint16_t productId, uint16_t vendorId) {
    char vidPid[32];
    snprintf(vidPid, sizeof(vidPid), "VID_%04X&PID_%04X", vendorId, productId);
    char vid[16];
    snprintf(vid, sizeof(vid), "VID_%04X", vendorId);
    pnp::DeviceDescription stick;
    stick.hardwareIds = {
        std::string("HID\\") + vidPid + "&REV_0100",
        std::string("HID\\") + vidPid,
        std::string("HID\\") + vid + "&UP:0001_U:0005",
        "HID_DEVICE_SYSTEM_GAME",
        "HID_DEVICE_UP:0001_U:0005",
        "HID_DEVICE",
    };
    stick.lower = std::make_unique<hid::Collection>(ReportDescriptor(LayoutForProductId(productId)),
                                                    vendorId, productId);
    return stick;
}

} // namespace sim::stick

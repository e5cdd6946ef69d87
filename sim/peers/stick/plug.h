// Plugging an arcade stick: the game-controller collection Windows makes of
// it, described for the PnP manager (sim/pnp/stack.h), which knows nothing of
// sticks.
#pragma once

#include <stdint.h>

#include "sim/pnp/stack.h"

namespace sim::stick {

// The stick's vendor id in the simulator (a placeholder: a real stick's own
// goes into the INF).
inline constexpr uint16_t kStickVendorId = 0x1234;

// The collection of the stick model with this product id, with the hardware
// IDs Windows gives it (HID\VID_1234&PID_0402&REV_0100, HID\VID_1234&PID_0402,
// ...) and the HID class's collection device over the model's report
// descriptor (raw layout A for PID_0402, B for the others; descriptors.h).
pnp::DeviceDescription ArcadeStick(uint16_t productId, uint16_t vendorId = kStickVendorId);

} // namespace sim::stick

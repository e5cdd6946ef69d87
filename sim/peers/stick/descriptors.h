// The report descriptors of the two arcade stick models, as each stick hands
// its descriptor to the HID class.
//
// PID_0402 (raw layout A) sends 19-byte reports without a report id: buttons
// in bytes 0 and 1, the hat in byte 2, the sticks in bytes 3 to 6, ten bytes
// the stick leaves at zero, then the left and right trigger.
// The other models (raw layout B) send 10-byte reports with report id 1: the
// sticks in bytes 1 to 4, the hat and buttons in bytes 5 to 7, the triggers in
// bytes 8 and 9.
// Both describe seven input values: X, Y, Z, Rz (left and right stick), the
// hat switch, and Brake and Accelerator (left and right trigger).
#pragma once

#include <stdint.h>

#include <vector>

#include "sim/peers/stick/raw_reports.h"

namespace sim::stick {

const std::vector<uint8_t>& ReportDescriptor(Layout layout);

} // namespace sim::stick

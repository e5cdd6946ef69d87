#include "sim/peers/stick/descriptors.h"

namespace sim::stick {
namespace {

const std::vector<uint8_t> kLayoutA = {
    0x05, 0x01,       // Usage Page (Generic Desktop)
    0x09, 0x05,       // Usage (Game Pad)
    0xA1, 0x01,       // Collection (Application)
                      //   byte 0 bits 0-7, byte 1 bits 0-4: buttons 1 to 13
    0x05, 0x09,       //   Usage Page (Button)
    0x19, 0x01,       //   Usage Minimum (1)
    0x29, 0x0D,       //   Usage Maximum (13)
    0x15, 0x00,       //   Logical Minimum (0)
    0x25, 0x01,       //   Logical Maximum (1)
    0x75, 0x01,       //   Report Size (1)
    0x95, 0x0D,       //   Report Count (13)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x75, 0x03,       //   Report Size (3): byte 1 bits 5-7 unused
    0x95, 0x01,       //   Report Count (1)
    0x81, 0x03,       //   Input (Constant, Variable)
                      //   byte 2 bits 0-3: hat switch, 8 and above centred
    0x05, 0x01,       //   Usage Page (Generic Desktop)
    0x09, 0x39,       //   Usage (Hat Switch)
    0x25, 0x07,       //   Logical Maximum (7)
    0x35, 0x00,       //   Physical Minimum (0)
    0x46, 0x3B, 0x01, //   Physical Maximum (315)
    0x65, 0x14,       //   Unit (degrees)
    0x75, 0x04,       //   Report Size (4)
    0x95, 0x01,       //   Report Count (1)
    0x81, 0x42,       //   Input (Data, Variable, Absolute, Null State)
    0x65, 0x00,       //   Unit (none)
    0x45, 0x00,       //   Physical Maximum (0)
    0x81, 0x03,       //   Input (Constant, Variable): byte 2 bits 4-7 unused
                      //   bytes 3-6: left stick X, Y, right stick X, Y
    0x09, 0x30,       //   Usage (X)
    0x09, 0x31,       //   Usage (Y)
    0x09, 0x32,       //   Usage (Z)
    0x09, 0x35,       //   Usage (Rz)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x04,       //   Report Count (4)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x95, 0x0A,       //   Report Count (10): bytes 7-16 unused
    0x81, 0x03,       //   Input (Constant, Variable)
                      //   bytes 17, 18: left and right trigger
    0x05, 0x02,       //   Usage Page (Simulation Controls)
    0x09, 0xC5,       //   Usage (Brake)
    0x09, 0xC4,       //   Usage (Accelerator)
    0x95, 0x02,       //   Report Count (2)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0xC0,             // End Collection
};

const std::vector<uint8_t> kLayoutB = {
    0x05, 0x01,       // Usage Page (Generic Desktop)
    0x09, 0x05,       // Usage (Game Pad)
    0xA1, 0x01,       // Collection (Application)
    0x85, 0x01,       //   Report ID (1): byte 0
                      //   bytes 1-4: left stick X, Y, right stick X, Y
    0x09, 0x30,       //   Usage (X)
    0x09, 0x31,       //   Usage (Y)
    0x09, 0x32,       //   Usage (Z)
    0x09, 0x35,       //   Usage (Rz)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x04,       //   Report Count (4)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
                      //   byte 5 bits 0-3: hat switch, 8 and above centred
    0x09, 0x39,       //   Usage (Hat Switch)
    0x25, 0x07,       //   Logical Maximum (7)
    0x35, 0x00,       //   Physical Minimum (0)
    0x46, 0x3B, 0x01, //   Physical Maximum (315)
    0x65, 0x14,       //   Unit (degrees)
    0x75, 0x04,       //   Report Size (4)
    0x95, 0x01,       //   Report Count (1)
    0x81, 0x42,       //   Input (Data, Variable, Absolute, Null State)
    0x65, 0x00,       //   Unit (none)
    0x45, 0x00,       //   Physical Maximum (0)
                      //   byte 5 bits 4-7, byte 6, byte 7 bits 0-1: buttons 1 to 14
    0x05, 0x09,       //   Usage Page (Button)
    0x19, 0x01,       //   Usage Minimum (1)
    0x29, 0x0E,       //   Usage Maximum (14)
    0x25, 0x01,       //   Logical Maximum (1)
    0x75, 0x01,       //   Report Size (1)
    0x95, 0x0E,       //   Report Count (14)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x75, 0x06,       //   Report Size (6): byte 7 bits 2-7 unused
    0x95, 0x01,       //   Report Count (1)
    0x81, 0x03,       //   Input (Constant, Variable)
                      //   bytes 8, 9: left and right trigger
    0x05, 0x02,       //   Usage Page (Simulation Controls)
    0x09, 0xC5,       //   Usage (Brake)
    0x09, 0xC4,       //   Usage (Accelerator)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x02,       //   Report Count (2)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0xC0,             // End Collection
};

} // namespace

const std::vector<uint8_t>& ReportDescriptor(Layout layout) {
    return layout == Layout::A ? kLayoutA : kLayoutB;
}

} // namespace sim::stick

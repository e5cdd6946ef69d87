#include "sim/peers/xbox/gamepad.h"

#include <stdio.h>

namespace sim::xbox {
namespace {

// Where the fields sit in the report.
constexpr size_t kType = 0;
constexpr size_t kLength = 1;
constexpr size_t kButtons = 2;
constexpr size_t kLeftTrigger = 4;
constexpr size_t kRightTrigger = 5;
constexpr size_t kLeftX = 6;
constexpr size_t kLeftY = 8;
constexpr size_t kRightX = 10;
constexpr size_t kRightY = 12;

int16_t Signed(const uint8_t* at) {
    return static_cast<int16_t>(at[0] | at[1] << 8);
}

} // namespace

bool Gamepad::operator==(const Gamepad& o) const {
    return buttons == o.buttons && leftTrigger == o.leftTrigger && rightTrigger == o.rightTrigger &&
           thumbLX == o.thumbLX && thumbLY == o.thumbLY && thumbRX == o.thumbRX &&
           thumbRY == o.thumbRY;
}

bool DecodeReport(const uint8_t* report, size_t length, Gamepad* pad) {
    if (report == nullptr || length < kReportLength || report[kType] != 0x00 ||
        report[kLength] != kReportLength) {
        return false;
    }
    pad->buttons = static_cast<uint16_t>(report[kButtons] | report[kButtons + 1] << 8);
    pad->leftTrigger = report[kLeftTrigger];
    pad->rightTrigger = report[kRightTrigger];
    pad->thumbLX = Signed(report + kLeftX);
    pad->thumbLY = Signed(report + kLeftY);
    pad->thumbRX = Signed(report + kRightX);
    pad->thumbRY = Signed(report + kRightY);
    return true;
}

std::string Describe(const Gamepad& pad) {
    // Face and shoulder buttons first, then the d-pad, as a pad is read.
    static const struct {
        uint16_t bit;
        const char* name;
    } kOrder[] = {{kA, "A"},
                  {kB, "B"},
                  {kX, "X"},
                  {kY, "Y"},
                  {kLeftShoulder, "LEFT_SHOULDER"},
                  {kRightShoulder, "RIGHT_SHOULDER"},
                  {kStart, "START"},
                  {kBack, "BACK"},
                  {kGuide, "GUIDE"},
                  {kLeftThumb, "LEFT_THUMB"},
                  {kRightThumb, "RIGHT_THUMB"},
                  {kDpadUp, "DPAD_UP"},
                  {kDpadDown, "DPAD_DOWN"},
                  {kDpadLeft, "DPAD_LEFT"},
                  {kDpadRight, "DPAD_RIGHT"}};
    std::string names;
    for (const auto& button : kOrder) {
        if (pad.buttons & button.bit) {
            names += names.empty() ? "" : " ";
            names += button.name;
        }
    }
    char line[160];
    snprintf(line, sizeof(line), "buttons %s  LT %u  RT %u  LS (%d, %d)  RS (%d, %d)",
             names.empty() ? "-" : names.c_str(), pad.leftTrigger, pad.rightTrigger, pad.thumbLX,
             pad.thumbLY, pad.thumbRX, pad.thumbRY);
    return line;
}

} // namespace sim::xbox

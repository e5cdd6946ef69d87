// What a game reads from an Xbox 360 controller: the gamepad state the class
// driver makes of each 20-byte input report.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace sim::xbox {

inline constexpr size_t kReportLength = 20;

// The button word as a game sees it (XInput's bits).
enum GamepadButton : uint16_t {
    kDpadUp = 0x0001,
    kDpadDown = 0x0002,
    kDpadLeft = 0x0004,
    kDpadRight = 0x0008,
    kStart = 0x0010,
    kBack = 0x0020,
    kLeftThumb = 0x0040,
    kRightThumb = 0x0080,
    kLeftShoulder = 0x0100,
    kRightShoulder = 0x0200,
    kGuide = 0x0400,
    kA = 0x1000,
    kB = 0x2000,
    kX = 0x4000,
    kY = 0x8000,
};

struct Gamepad {
    uint16_t buttons = 0;
    uint8_t leftTrigger = 0;
    uint8_t rightTrigger = 0;
    int16_t thumbLX = 0;
    int16_t thumbLY = 0;
    int16_t thumbRX = 0;
    int16_t thumbRY = 0;

    bool operator==(const Gamepad& other) const;
    bool operator!=(const Gamepad& other) const { return !(*this == other); }
};

// An input report is message type 0x00 with length 0x14; anything else (a
// short buffer, another message) is no gamepad state and gives false.
bool DecodeReport(const uint8_t* report, size_t length, Gamepad* pad);

// "buttons A GUIDE DPAD_RIGHT  LT 10  RT 200  LS (0, 32767)  RS (32512, -32512)"
std::string Describe(const Gamepad& pad);

} // namespace sim::xbox

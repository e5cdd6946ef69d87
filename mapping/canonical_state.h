// The decoded controller state: 13 canonical buttons and seven analog values.
#pragma once

#include "platform/platform.h"

// Bits of the canonical button word, named after their registry values.
#define BTN_A                  0x0001
#define BTN_B                  0x0002
#define BTN_X                  0x0004
#define BTN_Y                  0x0008
#define BTN_LEFT_TRIGGER       0x0010
#define BTN_RIGHT_TRIGGER      0x0020
#define BTN_BACK               0x0040
#define BTN_RIGHT_TRIANGLE     0x0080 // no raw layout feeds it
#define BTN_LEFT_JOY_PRESS     0x0100
#define BTN_RIGHT_JOY_PRESS    0x0200
#define BTN_PWR                0x0400
#define BTN_HOME               0x0800
#define BTN_LEFT_TRIANGLE      0x1000 // no raw layout feeds it
#define CANONICAL_BUTTONS_MASK 0x1FFF

// Entries of the analog values array.
typedef enum _ANALOG_INDEX {
    ANALOG_RIGHT_STICK_Y = 0,
    ANALOG_RIGHT_STICK_X = 1,
    ANALOG_LEFT_STICK_Y = 2,
    ANALOG_LEFT_STICK_X = 3,
    ANALOG_HAT = 4, // 0..7 from up clockwise; anything else is centred
    ANALOG_RIGHT_TRIGGER = 5,
    ANALOG_LEFT_TRIGGER = 6,
    ANALOG_VALUE_COUNT = 7,
} ANALOG_INDEX;

#define HAT_CENTRED 8

// The product id whose sticks send raw layout A; every other id sends layout B.
#define QUILLEX_LAYOUT_A_PRODUCT_ID 0x402

// The 20-byte Xbox 360 input report.
#define XUSB_INPUT_REPORT_LENGTH 20

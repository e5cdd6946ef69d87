// What a game reads from an Xbox 360 input report, and the mapping as a
// person reads it.
#pragma once

#include <stdint.h>

#include <string>

#include "driver/device_context.h"

// "buttons A GUIDE DPAD_RIGHT  LT 10  RT 200  LS (0, 32767)  RS (32512, -32512)"
std::string DescribeGamepad(const uint8_t* report);

// The Xbox button a ButtonMap entry names ("A", "START", "none").
const char* XboxButtonName(uint8_t index);

// One line per stored value, "  BTN_A               = 0x00  A".
std::string DescribeMapping(const REMAP_RECORD& record);

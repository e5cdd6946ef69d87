// The mapping as a person reads it.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/device_context.h"

// The Xbox button a ButtonMap entry names ("A", "START", "none").
const char* XboxButtonName(uint8_t index);

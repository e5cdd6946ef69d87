// The controller as a game sees it, worked out from what the page reads: the
// stick's state block and its mapping, composed with the driver's own tables
// and curves, in the driver's order (curves, then the swaps, then the Y axes
// turned so that up is positive).
#pragma once

#include <stdint.h>

#include "tools/quillexctl/public_header.h"

struct GameView {
    uint16_t buttons = 0; // Xbox report button bits, d-pad included
    uint8_t leftTrigger = 0, rightTrigger = 0;
    int16_t leftX = 0, leftY = 0, rightX = 0, rightY = 0;
};

// The state block as the stick's reader fills it: FirstTrigger holds the
// left trigger and SecondTrigger the right one.
GameView ComposeGameView(const APP_INSTANCE& state, const REMAP_RECORD& mapping);

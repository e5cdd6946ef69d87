// The controller as a game sees it, worked out from what the page reads: the
// stick's state block, its mapping and its d-pad mode, composed with the
// driver's own tables and curves, in the driver's order (trigger targets,
// curves, swaps, the lever in a stick mode, then the Y axes turned so that up
// is positive). What the driver hides for a moment (a turbo button in its
// released half, the mode combination while it is held) is not in the state
// block, so the view shows those buttons held.
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
// dpadMode is QUILLEX_DPAD_MODE_* (d-pad for a driver without the setting).
GameView ComposeGameView(const APP_INSTANCE& state, const REMAP_RECORD& mapping,
                         uint32_t dpadMode = QUILLEX_DPAD_MODE_DPAD);

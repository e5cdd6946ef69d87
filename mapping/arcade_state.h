// The arcade settings (d-pad mode, turbo, the mode combination) and what the
// read path keeps between reports to apply them.
#pragma once

#include "platform/platform.h"
#include "mapping/canonical_state.h"

// One press time per canonical button (QUILLEX_CANONICAL_BUTTON_COUNT).
#define ARCADE_BUTTON_COUNT 13

// The buttons of the mode combination.
#define ARCADE_HOTKEY_BUTTONS (BTN_BACK | BTN_HOME)

// In HiddenButtons, past the canonical bits: the lever is hidden too (the
// combination is held), so composition reads one word for both.
#define ARCADE_HIDDEN_LEVER 0x80000000UL

typedef struct _ARCADE_STATE {
    // Settings: written under StateLock, saved under MappingMutex.
    UCHAR DpadMode;       // QUILLEX_DPAD_MODE_* (public header)
    UCHAR HotkeysEnabled; // QUILLEX_HOTKEYS_*
    UCHAR TurboRate;      // presses per second; 0 (never loaded): the default
    ULONG TurboMask;      // canonical buttons

    // Run-time state, under StateLock.
    BOOLEAN HotkeyLatched;   // the combination was made and is not yet fully let go
    BOOLEAN ModeSavePending; // the combination changed DpadMode; the reader saves it
    ULONG TurboHeld;         // turbo buttons down, as the stick last reported
    ULONG HiddenButtons;     // canonical buttons the game does not see now, and ARCADE_HIDDEN_LEVER
    LONGLONG TurboPressedAt[ARCADE_BUTTON_COUNT]; // interrupt time of each press
    LONGLONG TurboDeadline; // the next phase change of a held turbo button; 0 for none
} ARCADE_STATE;

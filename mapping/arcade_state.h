// The arcade settings (d-pad mode, turbo, the mode combination) and what the
// read path keeps between reports to apply them.
#pragma once

#include "platform/platform.h"
#include "appapi/quillex_public.h"
#include "mapping/canonical_state.h"

// The buttons of the mode combination.
#define ARCADE_HOTKEY_BUTTONS (BTN_BACK | BTN_HOME)

typedef struct _ARCADE_STATE {
    // Settings: written under StateLock, saved under MappingMutex.
    UCHAR DpadMode;       // QUILLEX_DPAD_MODE_*
    UCHAR HotkeysEnabled; // QUILLEX_HOTKEYS_*
    UCHAR TurboRate;      // presses per second
    ULONG TurboMask;      // canonical buttons

    // Run-time state, under StateLock.
    BOOLEAN HotkeyLatched;  // the combination was made and is not yet fully let go
    BOOLEAN ModeSavePending; // the combination changed DpadMode; the reader saves it
    ULONG TurboHeld;        // turbo buttons down, as the stick last reported
    ULONG HiddenButtons;    // canonical buttons the game does not see now
    LONGLONG TurboPressedAt[QUILLEX_CANONICAL_BUTTON_COUNT]; // interrupt time of each press
    LONGLONG TurboDeadline; // the next phase change of a held turbo button; 0 for none
} ARCADE_STATE;

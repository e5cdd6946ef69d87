// The mode combination and turbo. Both run on the read path under StateLock,
// possibly at DISPATCH_LEVEL: integer arithmetic only, no calls that block,
// and nothing at all while neither is in use.
#include "mapping/arcade_modes.h"

static_assert(ARCADE_BUTTON_COUNT == QUILLEX_CANONICAL_BUTTON_COUNT, "a press time per button");

namespace {

// The mode each lever direction selects while the combination is held; -1
// for a direction that selects none. Indexed by hat value (0 up, clockwise).
const LONG HotkeyModeByHat[HAT_CENTRED] = {
    -1,                            // 0 up: none
    -1,                            // 1 up+right
    QUILLEX_DPAD_MODE_RIGHT_STICK, // 2 right
    -1,                            // 3 down+right
    QUILLEX_DPAD_MODE_DPAD,        // 4 down
    -1,                            // 5 down+left
    QUILLEX_DPAD_MODE_LEFT_STICK,  // 6 left
    -1,                            // 7 up+left
};

inline ULONG HatOf(const DEVICE_CONTEXT* Context) {
    return static_cast<const ULONG*>(Context->AnalogValues.Buffer)[ANALOG_HAT];
}

// Each held turbo button is pressed in the even half-periods counted from its
// own press and released in the odd ones, so a press never starts released.
// Phase k begins at PressedAt + ceil(k * second / (2 * rate)): computed from
// the press each time, so the rate never drifts.
VOID TurboPhases(ARCADE_STATE* Arcade, LONGLONG Now, PULONG Released) {
    const LONGLONG halves = 2 * static_cast<LONGLONG>(ArcadeTurboRate(Arcade));
    ULONG released = 0;
    LONGLONG deadline = 0;
    ULONG held = Arcade->TurboHeld;
    ULONG i;
    while (BitScanForward(&i, held)) {
        held &= held - 1;
        LONGLONG elapsed = Now - Arcade->TurboPressedAt[i];
        if (elapsed < 0) {
            elapsed = 0;
        }
        const LONGLONG phase = elapsed * halves / ARCADE_TICKS_PER_SECOND;
        if (phase & 1) {
            released |= 1UL << i;
        }
        const LONGLONG next = Arcade->TurboPressedAt[i] +
                              ((phase + 1) * ARCADE_TICKS_PER_SECOND + halves - 1) / halves;
        if (deadline == 0 || next < deadline) {
            deadline = next;
        }
    }
    Arcade->TurboDeadline = deadline;
    *Released = released;
}

inline VOID HideButtons(ARCADE_STATE* Arcade, ULONG TurboReleased) {
    Arcade->HiddenButtons =
        TurboReleased | (Arcade->HotkeyLatched ? ARCADE_HOTKEY_BUTTONS | ARCADE_HIDDEN_LEVER : 0);
}

// The combination latches when both its buttons are down and lets go only
// when both are up and the lever is centred, so that letting go of its parts
// in any order leaves nothing pressed for the game.
VOID TrackHotkeys(PDEVICE_CONTEXT Context, ULONG Buttons, ULONG Hat) {
    ARCADE_STATE* arcade = &Context->Arcade;
    const BOOLEAN made =
        arcade->HotkeysEnabled && (Buttons & ARCADE_HOTKEY_BUTTONS) == ARCADE_HOTKEY_BUTTONS;
    if (made) {
        arcade->HotkeyLatched = TRUE;
    } else if (arcade->HotkeyLatched && (Buttons & ARCADE_HOTKEY_BUTTONS) == 0 &&
               Hat >= HAT_CENTRED) {
        arcade->HotkeyLatched = FALSE;
    }
    if (!made || Hat >= HAT_CENTRED || HotkeyModeByHat[Hat] < 0) {
        return;
    }
    const UCHAR mode = static_cast<UCHAR>(HotkeyModeByHat[Hat]);
    if (mode != arcade->DpadMode) {
        arcade->DpadMode = mode;
        arcade->ModeSavePending = TRUE;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                    "Quillex!ArcadeTrackInput: <%u> D-pad mode %u set by the combination\n",
                    Context->InstanceNumber, static_cast<ULONG>(mode));
    }
}

} // namespace

_Use_decl_annotations_ ULONG ArcadeTurboRate(const ARCADE_STATE* Arcade) {
    const ULONG rate = Arcade->TurboRate;
    return rate >= QUILLEX_TURBO_RATE_MIN && rate <= QUILLEX_TURBO_RATE_MAX
               ? rate
               : QUILLEX_TURBO_RATE_DEFAULT;
}

_Use_decl_annotations_ VOID ArcadeResetSettings(PDEVICE_CONTEXT Context) {
    RtlZeroMemory(&Context->Arcade, sizeof(Context->Arcade));
    Context->Arcade.DpadMode = QUILLEX_DPAD_MODE_DPAD;
    Context->Arcade.HotkeysEnabled = QUILLEX_HOTKEYS_OFF;
    Context->Arcade.TurboRate = QUILLEX_TURBO_RATE_DEFAULT;
    Context->Arcade.TurboMask = 0;
}

_Use_decl_annotations_ VOID ArcadeFollowInput(PDEVICE_CONTEXT Context) {
    ARCADE_STATE* arcade = &Context->Arcade;
    // A turbo mask with none of its buttons held: nothing to do yet.
    const ULONG buttons = Context->CanonicalButtons & CANONICAL_BUTTONS_MASK;
    const ULONG held = buttons & arcade->TurboMask;
    if (!arcade->HotkeysEnabled && !arcade->HotkeyLatched && held == 0 && arcade->TurboHeld == 0) {
        return;
    }
    if (Context->AnalogValues.Buffer == NULL ||
        Context->AnalogValues.Size < ANALOG_VALUE_COUNT * sizeof(ULONG)) {
        return;
    }
    TrackHotkeys(Context, buttons, HatOf(Context));

    ULONG released = 0;
    if (held != 0 || arcade->TurboHeld != 0) {
        const LONGLONG now = static_cast<LONGLONG>(KeQueryInterruptTime());
        ULONG pressed = held & ~arcade->TurboHeld;
        ULONG i;
        while (BitScanForward(&i, pressed)) {
            pressed &= pressed - 1;
            arcade->TurboPressedAt[i] = now;
        }
        arcade->TurboHeld = held;
        TurboPhases(arcade, now, &released);
    }
    HideButtons(arcade, released);
}

_Use_decl_annotations_ BOOLEAN ArcadeTurboTick(PDEVICE_CONTEXT Context) {
    ARCADE_STATE* arcade = &Context->Arcade;
    if (arcade->TurboDeadline == 0) {
        return FALSE;
    }
    const LONGLONG now = static_cast<LONGLONG>(KeQueryInterruptTime());
    if (now < arcade->TurboDeadline) {
        return FALSE;
    }
    const ULONG hiddenBefore = arcade->HiddenButtons;
    ULONG released;
    TurboPhases(arcade, now, &released);
    HideButtons(arcade, released);
    return arcade->HiddenButtons != hiddenBefore;
}

_Use_decl_annotations_ VOID ArcadeTurboStop(PDEVICE_CONTEXT Context) {
    ARCADE_STATE* arcade = &Context->Arcade;
    arcade->TurboHeld = 0;
    arcade->TurboDeadline = 0;
    HideButtons(arcade, 0);
}

_Use_decl_annotations_ BOOLEAN ArcadeTurboTimeout(PDEVICE_CONTEXT Context, PLARGE_INTEGER Timeout) {
    const LONGLONG deadline = Context->Arcade.TurboDeadline;
    if (deadline == 0) {
        Timeout->QuadPart = 0;
        return FALSE;
    }
    LONGLONG remaining = deadline - static_cast<LONGLONG>(KeQueryInterruptTime());
    if (remaining < 1) {
        remaining = 1;
    }
    Timeout->QuadPart = -remaining;
    return TRUE;
}

_Use_decl_annotations_ VOID ArcadeSetTurboMask(PDEVICE_CONTEXT Context, ULONG TurboMask) {
    ARCADE_STATE* arcade = &Context->Arcade;
    arcade->TurboMask = TurboMask & QUILLEX_TURBO_MASK_ALL;
    // A button that leaves the mask is plainly held from now on; one that
    // joins it starts its turbo at the stick's next report.
    arcade->TurboHeld &= arcade->TurboMask;
    if (arcade->TurboHeld == 0) {
        arcade->TurboDeadline = 0;
    }
    HideButtons(arcade, arcade->HiddenButtons & arcade->TurboHeld & CANONICAL_BUTTONS_MASK);
}

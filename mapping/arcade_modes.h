// The arcade settings at run time: the mode combination and turbo, applied to
// the stick's decoded state before each composition. Every routine here is
// called with the device's StateLock held, possibly at DISPATCH_LEVEL.
#pragma once

#include "platform/device_context.h"

// Interrupt-time units (100 ns) in a second.
#define ARCADE_TICKS_PER_SECOND 10000000LL

// The turbo rate in force: TurboRate, or the default where it holds none
// (a context whose settings were never loaded).
ULONG ArcadeTurboRate(_In_ const ARCADE_STATE* Arcade);

// Puts the default settings in force and forgets the run-time state.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ArcadeResetSettings(_Inout_ PDEVICE_CONTEXT Context);

// ArcadeTrackInput's work once a setting is in use.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ArcadeFollowInput(_Inout_ PDEVICE_CONTEXT Context);

// After a report from the stick changed the decoded state: follows the mode
// combination (switching DpadMode, which then awaits its save) and the
// presses of turbo buttons, and decides what the game does not see. With
// neither in use it reads four fields and returns, inline in the read
// completion.
FORCEINLINE VOID ArcadeTrackInput(_Inout_ PDEVICE_CONTEXT Context) {
    const ARCADE_STATE* arcade = &Context->Arcade;
    if ((arcade->TurboMask | arcade->TurboHeld | arcade->HotkeysEnabled | arcade->HotkeyLatched) !=
        0) {
        ArcadeFollowInput(Context);
    }
}

// At a turbo deadline: TRUE when a held turbo button changed phase, so a
// report is due; FALSE when nothing changed (the deadline may have moved).
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN ArcadeTurboTick(_Inout_ PDEVICE_CONTEXT Context);

// Turbo ends at once: no button is held for it and no deadline stays.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ArcadeTurboStop(_Inout_ PDEVICE_CONTEXT Context);

// The relative time-out until the next turbo deadline (at least 100 ns);
// FALSE when no turbo button is held, for a wait without a time-out.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    ArcadeTurboTimeout(_In_ PDEVICE_CONTEXT Context, _Out_ PLARGE_INTEGER Timeout);

// Changes the turbo buttons; a button leaving the mask is seen as held again.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    ArcadeSetTurboMask(_Inout_ PDEVICE_CONTEXT Context, _In_ ULONG TurboMask);

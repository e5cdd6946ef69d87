// The LED state the Xbox class driver asks the emulated controller to show.
#pragma once

#include "platform/device_context.h"

// LED index meaning "no LED".
#define QUILLEX_LED_NONE 0xFFFF

// Records an LED state (any byte; the LED decode produces 0, 2, 3, 4 and 5)
// under the mapping mutex and drives the stick's LED with its index: states 2
// to 5 give the indexes 3 down to 0, every other state QUILLEX_LED_NONE.
// Waits on a mutex: PASSIVE_LEVEL only.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingSetLed(_In_opt_ PDEVICE_CONTEXT Context, _In_ UCHAR LedState);

// The stick's LED index for an LED state: states 2 to 5 give the indexes 3
// down to 0, every other state QUILLEX_LED_NONE.
ULONG TorvaXboxMappingLedIndex(_In_ UCHAR LedState);

// The one place the stick's LED would be driven. It traces the index and
// sends nothing to the device.
NTSTATUS QuillexSetLed(_In_opt_ PDEVICE_CONTEXT Context, _In_ ULONG LedIndex);

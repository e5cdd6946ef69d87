// The decoded state attached by hand, as HID setup attaches it, for tests of
// a stick whose pipeline could not be set up.
#pragma once

#include <vector>

#include "platform/device_context.h"

namespace quillex_test {

// Allocates the raw report buffer and the analog values (centred sticks,
// hat centred) and attaches them under the lock, as HID setup does.
inline NTSTATUS AttachDecodedState(PDEVICE_CONTEXT context, size_t reportLength) {
    MEMORY_BUFFER report{}, analog{};
    NTSTATUS status = QuillexAllocMemory(context->Device, &report, reportLength + 1);
    if (NT_SUCCESS(status)) {
        status = QuillexAllocMemory(context->Device, &analog, ANALOG_VALUE_COUNT * sizeof(ULONG));
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG* values = static_cast<ULONG*>(analog.Buffer);
    for (ULONG i = 0; i < ANALOG_VALUE_COUNT; ++i) {
        values[i] = 128;
    }
    values[ANALOG_HAT] = HAT_CENTRED;
    values[ANALOG_LEFT_TRIGGER] = values[ANALOG_RIGHT_TRIGGER] = 0;
    KIRQL irql;
    KeAcquireSpinLock(&context->StateLock, &irql);
    context->InputReport = report;
    context->AnalogValues = analog;
    KeReleaseSpinLock(&context->StateLock, irql);
    return STATUS_SUCCESS;
}

} // namespace quillex_test

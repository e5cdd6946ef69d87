// The LED state the class driver last set, as quillex-sim shows it.
#pragma once

#include "platform/device_context.h"

// The child's LED work item records the state on a system worker thread,
// under the device's state lock (and the mapping mutex): read it under the
// lock too.
inline UCHAR CurrentLedState(PDEVICE_CONTEXT context) {
    KIRQL irql;
    KeAcquireSpinLock(&context->StateLock, &irql);
    UCHAR state = context->LedState;
    KeReleaseSpinLock(&context->StateLock, irql);
    return state;
}

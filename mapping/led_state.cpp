#include "mapping/led_state.h"

#include "mapping/remap_store.h"

_Use_decl_annotations_ ULONG TorvaXboxMappingLedIndex(UCHAR LedState) {
    return (LedState >= 2 && LedState <= 5) ? static_cast<ULONG>(5 - LedState) : QUILLEX_LED_NONE;
}

_Use_decl_annotations_ NTSTATUS QuillexSetLed(PDEVICE_CONTEXT Context, ULONG LedIndex) {
    if (Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_HID, "Quillex!QuillexSetLed: <%u> ++ Torva_LED [%u]\n",
                Context->InstanceNumber, LedIndex);
    return STATUS_SUCCESS;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS TorvaXboxMappingSetLed(PDEVICE_CONTEXT Context,
                                                                      UCHAR LedState) {
    PAGED_CODE();

    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (Context != NULL) {
        status = TorvaXboxMappingLock(Context);
        if (status == STATUS_SUCCESS) {
            status = QuillexSetLed(Context, TorvaXboxMappingLedIndex(LedState));
            if (NT_SUCCESS(status)) {
                // The refresh reads it under the state lock, on other threads.
                KIRQL irql;
                KeAcquireSpinLock(&Context->StateLock, &irql);
                Context->LedState = LedState;
                KeReleaseSpinLock(&Context->StateLock, irql);
            }
            TorvaXboxMappingUnlock(Context);
            if (NT_SUCCESS(status)) {
                return status;
            }
        }
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                "Quillex!TorvaXboxMappingSetLed: <%u> Error - Invalid device context or LED - %x\n",
                Context != NULL ? Context->InstanceNumber : 0u, status);
    return status;
}

// Staged answers and buffer dumps of the emulated controller.
#include "xusb/staged_response.h"

_Use_decl_annotations_ NTSTATUS XboxControllerClaimStage(UCHAR* StageCounter, ULONG RowCount,
                                                         UCHAR* Stage) {
    // Several URBs of one kind may arrive at once: each must get a row of its
    // own, so the counter only moves by compare-and-exchange.
    auto counter = reinterpret_cast<CHAR volatile*>(StageCounter);
    // Read as it is written, by an interlocked operation (one that leaves it
    // unchanged), so that no plain read meets another URB's exchange.
    UCHAR seen = static_cast<UCHAR>(InterlockedCompareExchange8(counter, 0, 0));
    for (;;) {
        *Stage = seen;
        if (seen >= RowCount) {
            return STATUS_NO_MORE_ENTRIES;
        }
        UCHAR before = static_cast<UCHAR>(InterlockedCompareExchange8(
            counter, static_cast<CHAR>(seen + 1), static_cast<CHAR>(seen)));
        if (before == seen) {
            return STATUS_SUCCESS;
        }
        seen = before;
    }
}

_Use_decl_annotations_ NTSTATUS XboxControllerCopyStage(PCSTAGED_RESPONSE Table, UCHAR Stage,
                                                        PCSTR Name, PVOID Buffer,
                                                        ULONG BufferLength,
                                                        USBD_STATUS* UrbStatus) {
    NTSTATUS status = STATUS_SUCCESS;
    const STAGED_RESPONSE& row = Table[Stage];
    if (row.Length != 0) {
        if (Buffer == nullptr || BufferLength < row.Length) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                        "ERROR Unexpected Transfer Buffer Size in %s: %u, State %u, Expected Size "
                        "%x\n",
                        Name, Buffer == nullptr ? 0 : BufferLength, Stage, row.Length);
            status = STATUS_INVALID_PARAMETER;
        } else {
            RtlCopyMemory(Buffer, row.Data, row.Length);
        }
    }
    if (row.UsbdStatus != 0) {
        *UrbStatus = static_cast<USBD_STATUS>(row.UsbdStatus);
    }
    return status;
}

_Use_decl_annotations_ NTSTATUS CopyStagedResponse(UCHAR* StageCounter, PCSTAGED_RESPONSE Table,
                                                   ULONG RowCount, PCSTR Name, PVOID Buffer,
                                                   ULONG BufferLength, USBD_STATUS* UrbStatus) {
    UCHAR stage;
    if (!NT_SUCCESS(XboxControllerClaimStage(StageCounter, RowCount, &stage))) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "Unexpected State %u for %s\n", stage, Name);
        return STATUS_SUCCESS;
    }
    return XboxControllerCopyStage(Table, stage, Name, Buffer, BufferLength, UrbStatus);
}

_Use_decl_annotations_ NTSTATUS TraceBuffer(const VOID* Buffer, ULONG Length) {
    auto bytes = static_cast<const UCHAR*>(Buffer);
    // A buffer that would wrap around the address space is not read at all.
    ULONG count = Buffer == nullptr || reinterpret_cast<ULONG_PTR>(Buffer) + Length <
                                           reinterpret_cast<ULONG_PTR>(Buffer)
                      ? 0
                      : Length;
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_URB, "Buffer Raw: \n");
    for (ULONG i = 0; i < count; ++i) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_URB, "%02x,", bytes[i]);
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_URB, "\n");
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_URB, "Buffer Ascii: \n");
    for (ULONG i = 0; i < count; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] <= 0x7E) {
            TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_URB, "%c", bytes[i]);
        } else {
            TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_URB, ".");
        }
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_URB, "\n");
    return STATUS_SUCCESS;
}

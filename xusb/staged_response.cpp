// Staged answers and buffer dumps of the emulated controller.
#include "xusb/staged_response.h"

// Bytes per print of a buffer dump.
const ULONG kTraceBufferChunk = 64;

_Use_decl_annotations_ NTSTATUS XboxControllerClaimStage(UCHAR* StageCounter, ULONG RowCount,
                                                         UCHAR* Stage) {
    // Several URBs of one kind may arrive at once: each must get a row of its
    // own, so the counter only moves by compare-and-exchange.
    CHAR volatile* counter = reinterpret_cast<CHAR volatile*>(StageCounter);
    // Read as it is written, by an interlocked operation (one that leaves it
    // unchanged), so that no plain read meets another URB's exchange.
    UCHAR seen = static_cast<UCHAR>(_InterlockedCompareExchange8(counter, 0, 0));
    for (;;) {
        *Stage = seen;
        if (seen >= RowCount) {
            return STATUS_NO_MORE_ENTRIES;
        }
        UCHAR before = static_cast<UCHAR>(_InterlockedCompareExchange8(
            counter, static_cast<CHAR>(seen + 1), static_cast<CHAR>(seen)));
        if (before == seen) {
            return STATUS_SUCCESS;
        }
        seen = before;
    }
}

_Use_decl_annotations_ NTSTATUS XboxControllerCopyStage(PCSTAGED_RESPONSE Table, UCHAR Stage,
                                                        PCSTR Name, PVOID Buffer,
                                                        ULONG BufferLength, USBD_STATUS* UrbStatus,
                                                        PULONG BytesCopied) {
    NTSTATUS status = STATUS_SUCCESS;
    *BytesCopied = 0;
    const STAGED_RESPONSE& row = Table[Stage];
    if (row.Length != 0) {
        if (Buffer == NULL || BufferLength < row.Length) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                        "ERROR Unexpected Transfer Buffer Size in %s: %u, State %u, Expected Size "
                        "%x\n",
                        Name, Buffer == NULL ? 0 : BufferLength, Stage, row.Length);
            status = STATUS_INVALID_PARAMETER;
        } else {
            RtlCopyMemory(Buffer, row.Data, row.Length);
            *BytesCopied = row.Length;
        }
    }
    if (row.UsbdStatus != 0) {
        *UrbStatus = static_cast<USBD_STATUS>(row.UsbdStatus);
    }
    return status;
}

_Use_decl_annotations_ NTSTATUS XboxControllerAnswerStage(
    UCHAR* StageCounter, PCSTAGED_RESPONSE Table, ULONG RowCount, PCSTR Name, PVOID Buffer,
    ULONG BufferLength, USBD_STATUS* UrbStatus, PULONG BytesCopied) {
    *BytesCopied = 0;
    UCHAR stage;
    if (!NT_SUCCESS(XboxControllerClaimStage(StageCounter, RowCount, &stage))) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "Unexpected State %u for %s\n", stage, Name);
        return STATUS_SUCCESS;
    }
    return XboxControllerCopyStage(Table, stage, Name, Buffer, BufferLength, UrbStatus,
                                   BytesCopied);
}

_Use_decl_annotations_ NTSTATUS CopyStagedResponse(UCHAR* StageCounter, PCSTAGED_RESPONSE Table,
                                                   ULONG RowCount, PCSTR Name, PVOID Buffer,
                                                   ULONG BufferLength, USBD_STATUS* UrbStatus) {
    ULONG copied;
    return XboxControllerAnswerStage(StageCounter, Table, RowCount, Name, Buffer, BufferLength,
                                     UrbStatus, &copied);
}

_Use_decl_annotations_ NTSTATUS TraceBuffer(const VOID* Buffer, ULONG Length) {
    const UCHAR* bytes = static_cast<const UCHAR*>(Buffer);
    // A buffer that would wrap around the address space is not read at all.
    ULONG count = Buffer == NULL || reinterpret_cast<ULONG_PTR>(Buffer) + Length <
                                        reinterpret_cast<ULONG_PTR>(Buffer)
                      ? 0
                      : Length;
    // Endpoint messages are dumped at DISPATCH_LEVEL: each piece of the dump
    // is formatted here and printed with one call, not one per byte.
    static const char kHex[] = "0123456789abcdef";
    ULONG done = 0;
    do {
        char raw[3 * kTraceBufferChunk + 1];
        char ascii[kTraceBufferChunk + 1];
        ULONG n = count - done < kTraceBufferChunk ? count - done : kTraceBufferChunk;
        for (ULONG i = 0; i < n; ++i) {
            UCHAR b = bytes[done + i];
            raw[3 * i] = kHex[b >> 4];
            raw[3 * i + 1] = kHex[b & 0xF];
            raw[3 * i + 2] = ',';
            ascii[i] = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
        }
        raw[3 * n] = '\0';
        ascii[n] = '\0';
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_URB, "Buffer Raw: \n%s\nBuffer Ascii: \n%s\n", raw,
                    ascii);
        done += n;
    } while (done < count);
    return STATUS_SUCCESS;
}

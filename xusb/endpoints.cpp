// The emulated controller's interrupt endpoints. Endpoint 1 IN hands input
// reports to the class driver's waiting transfers; endpoint 2 OUT takes its
// LED and rumble messages.
//
// Every waiting endpoint 1 transfer is completed exactly once: by the report
// that takes it, by its cancel routine, or by the child's cleanup. Whoever
// takes the cancel routine back out of the IRP with an interlocked exchange
// owns it; a transfer whose routine the system has already taken belongs to
// EP1CancelRoutine, which completes it whether or not it still finds it
// queued. While a transfer waits, its IRP carries this child's context and the
// system address of its buffer in DriverContext, which the IRP's current
// owner may use.
#include "platform/device_context.h"
#include "xusb/urb_dispatch.h"

#include "xusb/staged_response.h"

namespace {

const UCHAR Ep1InResponse0[XUSB_INPUT_REPORT_LENGTH] = {
    0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0xF5, 0xF7, 0x16, 0x01,
    0x49, 0x0B, 0xAC, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};
const UCHAR Ep1InResponse1[XUSB_INPUT_REPORT_LENGTH] = {
    0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0xF5, 0xF7, 0x16, 0x01,
    0xDC, 0x0A, 0xAC, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};
const STAGED_RESPONSE Ep1InResponses[] = {
    {Ep1InResponse0, sizeof(Ep1InResponse0), 0},
    {Ep1InResponse1, sizeof(Ep1InResponse1), 0},
};

// Endpoint 2 OUT messages, recognised by their first two bytes.
const UCHAR LedCommandPrefix[2] = {0x01, 0x03}; // byte 2 is the LED command
const UCHAR RumblePrefix[2] = {0x03, 0x03};
const ULONG kOutputMessageMinimum = 3;

// LED command byte to the LED state the mapping engine records.
const UCHAR LedCommandToState[14] = {
    0, // 0x00
    0, // 0x01
    2, // 0x02
    3, // 0x03
    4, // 0x04
    5, // 0x05
    2, // 0x06
    3, // 0x07
    4, // 0x08
    5, // 0x09
    0, // 0x0A
    0, // 0x0B
    0, // 0x0C
    0, // 0x0D
};

// The two pipe handles select-configuration hands out.
const ULONG kEp1InPipe = 0x30481;
const ULONG kEp2OutPipe = 0x30802;

const ULONG kEndpointDirectionIn = 0x80;
const ULONG kEndpointNumberMask = 0x0F;

enum : ULONG { kContextSlot = 0, kBufferSlot = 1 }; // DriverContext of a waiting IRP

PURB UrbOf(PIRP Irp) {
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
}

// Takes the oldest waiting transfer that is still ours, with PendingEp1Lock
// held. A transfer whose cancel routine the system has already taken is
// unlinked and left to that routine, which completes it once it finds it gone.
PIRP TakeOldestTransfer(PXUSB_PDO_DEVICE_DATA PdoData) {
    while (!IsListEmpty(&PdoData->PendingEp1Irps)) {
        PLIST_ENTRY entry = RemoveHeadList(&PdoData->PendingEp1Irps);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            return irp;
        }
    }
    return NULL;
}

// What a USB stack reports back in the URB of a transfer it finishes: the
// bytes actually written and the USBD status matching the IRP's.
VOID FinishTransfer(PURB Urb, ULONG BytesWritten, NTSTATUS Status) {
    Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = BytesWritten;
    Urb->UrbHeader.Status = XboxControllerUsbdStatus(Status);
}

NTSTATUS TransferBufferOf(PURB Urb, PVOID* Buffer, PULONG Length) {
    _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &Urb->UrbBulkOrInterruptTransfer;
    return XboxControllerGetTransferBuffer(transfer->TransferBuffer, transfer->TransferBufferMDL,
                                           transfer->TransferBufferLength, Buffer, Length);
}

} // namespace

_Use_decl_annotations_ NTSTATUS XboxControllerURBInterrupt(PXUSB_PDO_DEVICE_DATA PdoData, PURB Urb,
                                                           PIRP Irp) {
    XUSB_PIPE_HANDLE pipe;
    pipe.Value = XUSB_PIPE_HANDLE_FROM_URB(Urb->UrbBulkOrInterruptTransfer.PipeHandle);
    ULONG endpoint = pipe.EndpointAddress & kEndpointNumberMask;

    if (pipe.EndpointAddress & kEndpointDirectionIn) {
        if (endpoint == 1) {
            NTSTATUS status = HandleEP1InterruptInURB(PdoData, Urb);
            if (status == STATUS_PENDING) {
                status = QueueEp1InIrp(PdoData, Irp);
            }
            return status;
        }
        if (endpoint == 5) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB,
                        "ERROR, HandleEP5InterruptInURB Not expected for this Profile");
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB, "Unexpected Endpoint URB in EP: %u\n",
                        endpoint);
        }
        Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0; // nothing came in
        return STATUS_SUCCESS;
    }

    PVOID buffer;
    ULONG length;
    TransferBufferOf(Urb, &buffer, &length);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_URB,
                "Quillex!XboxControllerURBInterrupt: USB Interrupt Out %u\n", endpoint);
    TraceBuffer(buffer, length);
    if (endpoint == 2) {
        HandleEP2InterruptOutURB(PdoData, Urb); // a message is taken whatever it holds
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB, "Unexpected Endpoint URB in EP: %u\n", endpoint);
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS HandleEP1InterruptInURB(PXUSB_PDO_DEVICE_DATA PdoData, PURB Urb) {
    PVOID buffer;
    ULONG length;
    _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &Urb->UrbBulkOrInterruptTransfer;
    NTSTATUS status = TransferBufferOf(Urb, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        transfer->TransferBufferLength = 0;
        return status;
    }
    // The first two transfers after each device-descriptor request get fixed
    // reports at once. Transfers that arrive together each claim a stage of
    // their own; one that finds both taken waits like any later transfer.
    UCHAR stage;
    if (NT_SUCCESS(XboxControllerClaimStage(&PdoData->Ep1InState, RTL_NUMBER_OF(Ep1InResponses),
                                            &stage))) {
        ULONG copied;
        status = XboxControllerCopyStage(Ep1InResponses, stage, "EP1 Interrupt In URB", buffer,
                                         length, &Urb->UrbHeader.Status, &copied);
        transfer->TransferBufferLength = copied;
        return status;
    }
    if (length < XUSB_INPUT_REPORT_LENGTH) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB, "ERROR Wrong Length for input report!!! %u\n",
                    length);
        transfer->TransferBufferLength = 0;
        return STATUS_SUCCESS;
    }
    return STATUS_PENDING;
}

_Use_decl_annotations_ NTSTATUS QueueEp1InIrp(PXUSB_PDO_DEVICE_DATA PdoData, PIRP Irp) {
    PVOID buffer;
    ULONG length;
    // Already resolved (and an MDL already mapped) by HandleEP1InterruptInURB.
    PURB urb = UrbOf(Irp);
    NTSTATUS status = TransferBufferOf(urb, &buffer, &length);
    if (!NT_SUCCESS(status) || length < XUSB_INPUT_REPORT_LENGTH) {
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Irp->Tail.Overlay.DriverContext[kContextSlot] = PdoData;
    Irp->Tail.Overlay.DriverContext[kBufferSlot] = buffer;

    KIRQL irql;
    KeAcquireSpinLock(&PdoData->PendingEp1Lock, &irql);
    if (PdoData->LatestReportHeld) {
        // The controller's state changed while nobody polled: this transfer
        // gets the current state at once, as the next poll of a device would.
        RtlCopyMemory(buffer, PdoData->LatestReport, XUSB_INPUT_REPORT_LENGTH);
        PdoData->LatestReportHeld = FALSE;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = XUSB_INPUT_REPORT_LENGTH;
        status = STATUS_SUCCESS;
    } else {
        IoSetCancelRoutine(Irp, EP1CancelRoutine);
        if (Irp->Cancel) {
            if (IoSetCancelRoutine(Irp, NULL) != NULL) {
                urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
                status = STATUS_CANCELLED; // our caller completes it
            } else {
                // The system has taken the routine and is calling it: the
                // transfer is EP1CancelRoutine's, which completes it without
                // finding it queued.
                IoMarkIrpPending(Irp);
                status = STATUS_PENDING;
            }
        } else {
            IoMarkIrpPending(Irp);
            InsertTailList(&PdoData->PendingEp1Irps, &Irp->Tail.Overlay.ListEntry);
            status = STATUS_PENDING;
        }
    }
    KeReleaseSpinLock(&PdoData->PendingEp1Lock, irql);
    return status;
}

_Use_decl_annotations_ VOID EP1CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Quillex!EP1CancelRoutine: ++\n");
    PXUSB_PDO_DEVICE_DATA pdoData =
        static_cast<PXUSB_PDO_DEVICE_DATA>(Irp->Tail.Overlay.DriverContext[kContextSlot]);
    // Held from before the cancel spin lock is released, so that the child's
    // cleanup, which takes that lock once before its rundown, cannot miss
    // this routine.
    BOOLEAN held = ExAcquireRundownProtection(&pdoData->Ep1CancelRundown);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    if (!held) {
        // The cleanup has passed the cancel spin lock and completed every
        // transfer it held: this one was not among them, so only the IRP
        // is left to finish.
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_CANCELLED;
        FinishTransfer(UrbOf(Irp), 0, STATUS_CANCELLED);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return;
    }

    BOOLEAN found = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&pdoData->PendingEp1Lock, &irql);
    for (PLIST_ENTRY entry = pdoData->PendingEp1Irps.Flink; entry != &pdoData->PendingEp1Irps;
         entry = entry->Flink) {
        if (entry == &Irp->Tail.Overlay.ListEntry) {
            RemoveEntryList(entry);
            found = TRUE;
            break;
        }
    }
    KeReleaseSpinLock(&pdoData->PendingEp1Lock, irql);

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    FinishTransfer(UrbOf(Irp), 0, STATUS_CANCELLED);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ExReleaseRundownProtection(&pdoData->Ep1CancelRundown); // the last use of the context
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Quillex!EP1CancelRoutine: %u --\n", found);
}

_Use_decl_annotations_ NTSTATUS HandleXusbInputReport(PXUSB_PDO_DEVICE_DATA PdoData,
                                                      const UCHAR* Report) {
    if (PdoData == NULL || Report == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB,
                    "Quillex!HandleXusbInputReport: ERROR, Invalid Parameter.\n");
        return STATUS_INVALID_PARAMETER;
    }
    if (QuillexReadFlag(&PdoData->bRemoved)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB,
                    "Quillex!HandleXusbInputReport: ERROR, Xbox PDO Marked as removed.\n");
        return STATUS_DEVICE_REMOVED;
    }

    KIRQL irql;
    KeAcquireSpinLock(&PdoData->PendingEp1Lock, &irql);
    // A transfer being cancelled is passed over: the report goes to the next.
    PIRP irp = TakeOldestTransfer(PdoData);
    if (irp == NULL) {
        // Kept as the controller's current state for the next transfer, so a
        // change (a button released) is not lost while no transfer waits.
        RtlCopyMemory(PdoData->LatestReport, Report, XUSB_INPUT_REPORT_LENGTH);
        PdoData->LatestReportHeld = TRUE;
    }
    KeReleaseSpinLock(&PdoData->PendingEp1Lock, irql);

    if (irp == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB,
                    "Quillex!HandleXusbInputReport: ERROR, Event Received without a Valid IRP.\n");
        return STATUS_DEVICE_NOT_READY;
    }
    // The transfer is ours alone now: its buffer is written only after its
    // cancel routine was taken back, never while it might be completed.
    RtlCopyMemory(irp->Tail.Overlay.DriverContext[kBufferSlot], Report, XUSB_INPUT_REPORT_LENGTH);
    FinishTransfer(UrbOf(irp), XUSB_INPUT_REPORT_LENGTH, STATUS_SUCCESS);
    irp->IoStatus.Status = STATUS_SUCCESS;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS XboxControllerCompleteEp1Transfers(PXUSB_PDO_DEVICE_DATA PdoData,
                                                                   NTSTATUS Status) {
    LIST_ENTRY owned;
    InitializeListHead(&owned);
    KIRQL irql;
    KeAcquireSpinLock(&PdoData->PendingEp1Lock, &irql);
    // The list is looked at under its lock only: a cancel routine may be
    // unlinking a transfer at this moment. A child whose context was never
    // filled has no list (and its lock is the zeroed, free one).
    if (PdoData->PendingEp1Irps.Flink != NULL) {
        while (PIRP irp = TakeOldestTransfer(PdoData)) {
            InsertTailList(&owned, &irp->Tail.Overlay.ListEntry);
        }
    }
    KeReleaseSpinLock(&PdoData->PendingEp1Lock, irql);

    // Completed outside the lock: a completion routine may send the next
    // transfer straight back to us.
    while (!IsListEmpty(&owned)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&owned), IRP, Tail.Overlay.ListEntry);
        irp->IoStatus.Status = Status;
        irp->IoStatus.Information = 0;
        FinishTransfer(UrbOf(irp), 0, Status);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS XboxControllerFlushEp1Transfers(PXUSB_PDO_DEVICE_DATA PdoData) {
    XboxControllerCompleteEp1Transfers(PdoData, STATUS_DEVICE_DOES_NOT_EXIST);
    KIRQL irql;

    // A cancel routine that took a transfer before we could has acquired
    // the rundown protection while holding the cancel spin lock; once we
    // have held that lock, the rundown covers every such routine.
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
    ExWaitForRundownProtectionRelease(&PdoData->Ep1CancelRundown);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS XboxControllerPipeRequest(PXUSB_PDO_DEVICE_DATA PdoData, PURB Urb) {
    XUSB_PIPE_HANDLE pipe;
    pipe.Value = XUSB_PIPE_HANDLE_FROM_URB(Urb->UrbPipeRequest.PipeHandle);
    BOOLEAN ep1In = pipe.Value == kEp1InPipe;
    if (!ep1In && pipe.Value != kEp2OutPipe) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB,
                    "Quillex!XboxControllerPipeRequest: ERROR unknown pipe handle 0x%x\n",
                    pipe.Value);
        return STATUS_INVALID_PARAMETER;
    }
    // Endpoint 2 keeps no transfer, and neither pipe ever stalls: an abort of
    // endpoint 1 is the one request with something to do.
    if (Urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE && ep1In) {
        return XboxControllerCompleteEp1Transfers(PdoData, STATUS_CANCELLED);
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS HandleEP2InterruptOutURB(PXUSB_PDO_DEVICE_DATA PdoData, PURB Urb) {
    PVOID buffer;
    ULONG length;
    if (!NT_SUCCESS(TransferBufferOf(Urb, &buffer, &length))) {
        length = 0;
    }
    if (length < kOutputMessageMinimum) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB,
                    "Quillex!HandleEP2InterruptOutURB: ERROR Unexpected Transfer Buffer Too "
                    "Small.  Size: %u, Expected Size %x\n",
                    length, kOutputMessageMinimum);
        return STATUS_SUCCESS;
    }
    const UCHAR* message = static_cast<const UCHAR*>(buffer);
    if (RtlEqualMemory(message, LedCommandPrefix, sizeof(LedCommandPrefix))) {
        return HandleXboxLEDDecode(PdoData, message[2]);
    }
    if (RtlEqualMemory(message, RumblePrefix, sizeof(RumblePrefix))) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_URB, "Rumble, do nothing for now\n");
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS HandleXboxLEDDecode(PXUSB_PDO_DEVICE_DATA PdoData,
                                                    UCHAR LedCommand) {
    if (LedCommand >= RTL_NUMBER_OF(LedCommandToState)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB,
                    "Quillex!HandleXboxLEDDecode: ERROR LED Byte note covered by mapping table\n");
        return STATUS_SUCCESS;
    }
    UCHAR state = LedCommandToState[LedCommand];
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_URB,
                "Quillex!HandleXboxLEDDecode: Write LED State, %u\n", state);
    XboxControllerQueueLedState(PdoData, state);
    return STATUS_SUCCESS;
}

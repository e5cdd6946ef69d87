// The HID reader thread: keeps one read of the stick's input report
// outstanding through the shadow I/O target, and hands every report the read
// completion translated to the emulated Xbox 360 controller.
#include "hid/hid_pipeline.h"

#include "appapi/app_data.h"
#include "mapping/arcade_modes.h"
#include "mapping/arcade_store.h"
#include "mapping/decode.h"
#include "mapping/xusb_report.h"
#include "xusb/xusb_pdo.h"

namespace {

#define READER_THREAD_PRIORITY 28
// The start-up wait: 5 s, in 100 ns units, relative.
#define READER_STARTUP_WAIT (-50000000LL)
// Pause after a read that could not be sent, doubled up to the limit, so a
// target that keeps refusing never has the thread spinning at priority 28.
#define READER_SEND_RETRY_FIRST_MS 1
#define READER_SEND_RETRY_LIMIT_MS 100

// Delivers a report the read completion left, if there is one: copied out
// under the state lock, handed over after it.
NTSTATUS DeliverPendingReport(PDEVICE_CONTEXT Context, NTSTATUS LastStatus) {
    UCHAR report[XUSB_INPUT_REPORT_LENGTH];
    BOOLEAN pending;
    KIRQL irql;

    PXUSB_PDO_DEVICE_DATA child = NULL;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    pending = Context->XusbReportPending;
    if (pending) {
        RtlCopyMemory(report, Context->XusbInputReport, sizeof(report));
        Context->XusbReportPending = FALSE;
        // Taken under the lock the child's cleanup clears XusbPdo under.
        child = Bus_XusbReferenceChildLocked(Context);
    }
    KeReleaseSpinLock(&Context->StateLock, irql);
    if (!pending) {
        return LastStatus;
    }

    // Without a child the report is dropped.
    if (child != NULL) {
        (VOID) HandleXusbInputReport(child, report);
        Bus_XusbDereferenceChild(child);
    }

    return AppApi_QuillexToApp(Context, &Context->AppInstance);
}

// A turbo deadline passed while the read is out: the report the phase change
// makes is composed under the state lock, as the read completion composes,
// and left pending for DeliverPendingReport. Without a decoded state to
// compose from, turbo ends.
VOID ComposeTurboReport(PDEVICE_CONTEXT Context) {
    KIRQL irql;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    if (ArcadeTurboTick(Context)) {
        NTSTATUS status = TorvaXboxMappingGetInputReport(Context, Context->XusbInputReport,
                                                         sizeof(Context->XusbInputReport));
        if (NT_SUCCESS(status)) {
            Context->XusbReportPending = TRUE;
        } else {
            ArcadeTurboStop(Context);
        }
    }
    KeReleaseSpinLock(&Context->StateLock, irql);
}

// Waits for the stop or the read's completion. While a turbo button is held
// the wait also ends at each of its deadlines, and the turbo report is
// delivered then; otherwise it has no time-out, so an idle stick costs no
// wake-up.
NTSTATUS WaitForReadOrStop(PDEVICE_CONTEXT Context, PVOID* WaitObjects, NTSTATUS* LastStatus) {
    for (;;) {
        LARGE_INTEGER timeout;
        KIRQL irql;
        KeAcquireSpinLock(&Context->StateLock, &irql);
        const BOOLEAN timed = ArcadeTurboTimeout(Context, &timeout);
        KeReleaseSpinLock(&Context->StateLock, irql);

        NTSTATUS waited = KeWaitForMultipleObjects(2, WaitObjects, WaitAny, Executive, KernelMode,
                                                   TRUE, timed ? &timeout : NULL, NULL);
        if (waited != STATUS_TIMEOUT) {
            return waited;
        }
        ComposeTurboReport(Context);
        *LastStatus = DeliverPendingReport(Context, *LastStatus);
    }
}

// A stop asked for: the read still out is cancelled.
NTSTATUS StopReading(PDEVICE_CONTEXT Context) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!QuillexHidReaderThread: <%u> Stop event\n", Context->InstanceNumber);
    QuillexWriteFlag(&Context->bInputThreadStop, TRUE);
    WdfRequestCancelSentRequest(Context->InputReportWdfRequest);
    return STATUS_SUCCESS;
}

// Waits for the stop event up to DelayMs; TRUE when it came.
BOOLEAN StopArrivedWithin(PDEVICE_CONTEXT Context, ULONG DelayMs) {
    LARGE_INTEGER delay;

    delay.QuadPart = -static_cast<LONGLONG>(DelayMs) * 10000;
    return KeWaitForSingleObject(&Context->ReaderWorker.EV_STOP_THREAD, Executive, KernelMode,
                                 FALSE, &delay) == STATUS_SUCCESS;
}

// Creates the shadow target and opens it by the stick's PDO name.
NTSTATUS OpenShadowTarget(PDEVICE_CONTEXT Context) {
    WDF_IO_TARGET_OPEN_PARAMS openParams;
    NTSTATUS status;

    status = WdfIoTargetCreate(Context->Device, WDF_NO_OBJECT_ATTRIBUTES, &Context->ShadowIoTarget);
    if (!NT_SUCCESS(status)) {
        Context->ShadowIoTarget = NULL;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexHidReaderThread: <%u> Error - WdfIoTargetCreate failed - "
                    "0x%x\n",
                    Context->InstanceNumber, status);
        return status;
    }

    WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&openParams, &Context->PdoName,
                                                FILE_READ_DATA | FILE_WRITE_DATA);
    openParams.Size = QUILLEX_KMDF_1_9_SIZE(WDF_IO_TARGET_OPEN_PARAMS);
    openParams.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
    openParams.CreateDisposition = FILE_OPEN;
    openParams.CreateOptions = FILE_NON_DIRECTORY_FILE;
    status = WdfIoTargetOpen(Context->ShadowIoTarget, &openParams);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexHidReaderThread: <%u> Error - WdfIoTargetOpen failed - 0x%x\n",
                    Context->InstanceNumber, status);
        // The next launch makes a new one: this one is not kept.
        WdfObjectDelete(Context->ShadowIoTarget);
        Context->ShadowIoTarget = NULL;
    }
    return status;
}

// The read loop, until a stop. Returns the last status.
NTSTATUS PumpReports(PDEVICE_CONTEXT Context, NTSTATUS LastStatus) {
    PVOID waitObjects[2] = {&Context->ReaderWorker.EV_STOP_THREAD, &Context->ReadCompleteEvent};
    ULONG retryMs = READER_SEND_RETRY_FIRST_MS;
    NTSTATUS status = LastStatus;

    while (!QuillexReadFlag(&Context->bInputThreadStop)) {
        status = DeliverPendingReport(Context, status);
        // A d-pad mode the combination switched is saved here, at
        // PASSIVE_LEVEL, as the read completion cannot.
        (VOID) TorvaXboxMappingSaveSwitchedMode(Context);

        if (Context->InputReport.Memory == NULL || Context->InputReport.Buffer == NULL ||
            Context->InputReportWdfRequest == NULL) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                        "Quillex!QuillexHidReaderThread: <%u> Error - Memory has not allocated\n",
                        Context->InstanceNumber);
            QuillexWriteFlag(&Context->bInputThreadStop, TRUE);
            continue;
        }

        size_t clear = Context->Hid.Caps.InputReportByteLength;
        if (clear > Context->InputReport.Size) {
            clear = Context->InputReport.Size;
        }
        RtlZeroMemory(Context->InputReport.Buffer, clear);

        status =
            WdfIoTargetFormatRequestForRead(Context->ShadowIoTarget, Context->InputReportWdfRequest,
                                            Context->InputReport.Memory, NULL, NULL);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                        "Quillex!QuillexHidReaderThread: <%u> Error - "
                        "WdfIoTargetFormatRequestForRead failed - 0x%x\n",
                        Context->InstanceNumber, status);
            QuillexWriteFlag(&Context->bInputThreadStop, TRUE);
            continue;
        }

        WdfRequestSetCompletionRoutine(Context->InputReportWdfRequest,
                                       HidReaderThreadCompletionRoutine, Context);

        if (!WdfRequestSend(Context->InputReportWdfRequest, Context->ShadowIoTarget,
                            WDF_NO_SEND_OPTIONS)) {
            status = WdfRequestGetStatus(Context->InputReportWdfRequest);
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                        "Quillex!QuillexHidReaderThread: <%u> Error - WdfRequestSend failed - "
                        "0x%x\n",
                        Context->InstanceNumber, status);
            // Still listening for a stop while the target refuses.
            if (StopArrivedWithin(Context, retryMs)) {
                status = StopReading(Context);
            }
            retryMs =
                retryMs * 2 > READER_SEND_RETRY_LIMIT_MS ? READER_SEND_RETRY_LIMIT_MS : retryMs * 2;
            continue;
        }
        retryMs = READER_SEND_RETRY_FIRST_MS;

        NTSTATUS waited = WaitForReadOrStop(Context, waitObjects, &status);
        if (waited == STATUS_WAIT_1) {
            continue; // the next pass delivers what the completion left
        }
        if (waited != STATUS_WAIT_0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                        "Quillex!QuillexHidReaderThread: <%u> Error- Unhandled wait status - "
                        "0x%x (Bailing)\n",
                        Context->InstanceNumber, waited);
        }
        status = StopReading(Context);
    }
    // No turbo deadline outlives the loop that would serve it.
    KIRQL irql;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    ArcadeTurboStop(Context);
    KeReleaseSpinLock(&Context->StateLock, irql);
    return status;
}

} // namespace

PAGED_CODE_SEG _Use_decl_annotations_ VOID QuillexHidReaderThread(PVOID StartContext) {
    PDEVICE_CONTEXT context = static_cast<PDEVICE_CONTEXT>(StartContext);
    ULONG instance = context->InstanceNumber;
    LARGE_INTEGER startupWait;
    NTSTATUS status;

    PAGED_CODE();

    KeSetPriorityThread(KeGetCurrentThread(), READER_THREAD_PRIORITY);
    context->ShadowIoTarget = context->Hid.DefaultIoTarget;
    ThreadSetState(&context->ReaderWorker, WORKER_RUNNING);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!QuillexHidReaderThread: <%u> ++\n",
                instance);

    // The emulated controller is asked for only after this wait, whatever
    // ends it.
    startupWait.QuadPart = READER_STARTUP_WAIT;
    status = KeWaitForSingleObject(&context->ReaderWorker.EV_STOP_THREAD, Executive, KernelMode,
                                   TRUE, &startupWait);

    if (!QuillexReadFlag(&context->HardwareReleased)) {
        if (!QuillexReadFlag(&context->PdoCreated)) {
            (VOID) Bus_XusbCreatePdo(context->Device, instance);
            QuillexWriteFlag(&context->PdoCreated, TRUE);
        }

        NTSTATUS opened = OpenShadowTarget(context);
        if (NT_SUCCESS(opened)) {
            status = PumpReports(context, status);

            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                        "Quillex!QuillexHidReaderThread: <%u> bInputThreadStop set - Exited reader "
                        "loop\n",
                        instance);
            if (context->ShadowIoTarget != NULL &&
                context->ShadowIoTarget != context->Hid.DefaultIoTarget) {
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                            "Quillex!QuillexHidReaderThread: <%u> Closing shadow IoTarget\n",
                            instance);
                // Also cancels and waits for the read still out. Deleted
                // too: every launch makes its own, and a device restarted
                // again and again must not keep one per launch.
                WdfIoTargetClose(context->ShadowIoTarget);
                WdfObjectDelete(context->ShadowIoTarget);
                context->ShadowIoTarget = NULL;
            }
        } else {
            status = opened;
        }
    }

    ThreadFinish(&context->ReaderWorker);
    // The device may be gone from here on: only locals.
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!QuillexHidReaderThread: <%u> -- %x\n",
                instance, status);
    PsTerminateSystemThread(status);
}

_Use_decl_annotations_ VOID HidReaderThreadCompletionRoutine(WDFREQUEST Request, WDFIOTARGET Target,
                                                             PWDF_REQUEST_COMPLETION_PARAMS Params,
                                                             WDFCONTEXT Context) {
    PDEVICE_CONTEXT context = static_cast<PDEVICE_CONTEXT>(Context);
    WDF_REQUEST_REUSE_PARAMS reuse;
    NTSTATUS status;
    KIRQL irql;

    UNREFERENCED_PARAMETER(Target);

    // A failed or cancelled read leaves everything alone: the thread waits
    // for its stop.
    if (Params->IoStatus.Status != STATUS_SUCCESS || QuillexReadFlag(&context->bInputThreadStop) ||
        Params->Type != WdfRequestTypeRead) {
        // A stick that stopped reporting holds no turbo button down.
        if (Params->IoStatus.Status != STATUS_SUCCESS) {
            KeAcquireSpinLock(&context->StateLock, &irql);
            ArcadeTurboStop(context);
            KeReleaseSpinLock(&context->StateLock, irql);
        }
        return;
    }

    // Only what the read returned is decoded; a short report changes nothing.
    if (Params->IoStatus.Information >= QuillexHidRawReportLength(context)) {
        KeAcquireSpinLock(&context->StateLock, &irql);
        status = context->ProductId == QUILLEX_LAYOUT_A_PRODUCT_ID
                     ? DecodeHidReportLayoutA(context)
                     : DecodeHidReportLayoutB(context);
        if (NT_SUCCESS(status)) {
            ArcadeTrackInput(context);
            status = TorvaXboxMappingGetInputReport(context, context->XusbInputReport,
                                                    sizeof(context->XusbInputReport));
            if (NT_SUCCESS(status)) {
                context->XusbReportPending = TRUE;
            } else {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                            "Quillex!HidReaderThreadCompletionRoutine: <%u> Error - "
                            "TorvaXboxMappingGetInputReport failed - %x\n",
                            context->InstanceNumber, status);
            }
        }
        KeReleaseSpinLock(&context->StateLock, irql);
    } else {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_HID,
                    "Quillex!HidReaderThreadCompletionRoutine: <%u> Short report of %u bytes "
                    "ignored\n",
                    context->InstanceNumber, static_cast<ULONG>(Params->IoStatus.Information));
    }

    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    WdfRequestReuse(Request, &reuse);
    KeSetEvent(&context->ReadCompleteEvent, IO_NO_INCREMENT, FALSE);
}

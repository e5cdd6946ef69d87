// Requests the filter passes down: every open, with its answer awaited, and
// every internal device control, handed over as it came.
#include "driver/lifecycle.h"

#include "hid/hid_pipeline.h"

PAGED_CODE_SEG _Use_decl_annotations_ VOID Quillex_EvtDeviceFileCreate(WDFDEVICE Device,
                                                                       WDFREQUEST Request,
                                                                       WDFFILEOBJECT FileObject) {
    PDEVICE_CONTEXT context;
    WDF_REQUEST_SEND_OPTIONS options;
    NTSTATUS status = STATUS_SUCCESS;

    UNREFERENCED_PARAMETER(FileObject);
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!Quillex_EvtDeviceFileCreate: ++\n");

    context = QuillexGetDeviceContext(Device);

    WdfRequestFormatRequestUsingCurrentType(Request);
    WdfRequestSetCompletionRoutine(Request, Quillex_EvtDeviceFileCreateComplete, context);

    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    if (!WdfRequestSend(Request, WdfDeviceGetIoTarget(Device), &options)) {
        // The completion routine will not run: the open ends here.
        status = WdfRequestGetStatus(Request);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                    "Quillex!Quillex_EvtDeviceFileCreate: Error - WdfRequestSend failed, "
                    "complete FileCreate request locally with %x\n",
                    status);
        WdfRequestComplete(Request, status);
    }

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!Quillex_EvtDeviceFileCreate: -- %x\n",
                status);
}

// Every completed open, whatever the lower driver answered, makes sure a
// reader runs; ThreadLaunch leaves a running one alone. The record's lock
// makes concurrent opens launch one after the other (the later ones find the
// thread running), keeps a launch out of a thread's exit, and lets a release
// that marked the hardware first find either the thread launched or the
// launch refused.
PAGED_CODE_SEG static VOID QuillexLaunchReaderForOpen(_In_ PDEVICE_CONTEXT Context) {
    PAGED_CODE();

    PWORKER_RECORD worker = &Context->ReaderWorker;
    ThreadLockRecord(worker);
    if (!QuillexReadFlag(&Context->HardwareReleased)) {
        if (ThreadState(worker) == WORKER_TERMINATED && ThreadHandleHeld(worker)) {
            (VOID) ThreadRecover(worker, 7);
        }
        ThreadSetState(worker, WORKER_RUNNING);
        NTSTATUS launched = ThreadLaunch(QuillexHidReaderThread, Context, worker);
        if (!NT_SUCCESS(launched)) {
            // A thread that started but could not be referenced runs on as
            // the reader: its state stays, so teardown still waits for it.
            if (!ThreadHandleHeld(worker)) {
                ThreadSetState(worker, WORKER_INITIALIZED);
            }
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                        "Quillex!Quillex_EvtDeviceFileCreateComplete: Error - Unable to "
                        "launch HID reader thread - %x\n",
                        launched);
        }
    }
    ThreadUnlockRecord(worker);
}

PAGED_CODE_SEG _Use_decl_annotations_ VOID Quillex_EvtReaderLaunchWorkItem(WDFWORKITEM WorkItem) {
    PAGED_CODE();
    QuillexLaunchReaderForOpen(QuillexGetDeviceContext(WdfWorkItemGetParentObject(WorkItem)));
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS QuillexReaderLaunchInit(WDFDEVICE Device) {
    WDF_WORKITEM_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;
    PDEVICE_CONTEXT context = QuillexGetDeviceContext(Device);
    NTSTATUS status;

    PAGED_CODE();

    // The record is ready before any open can complete.
    (VOID) ThreadInit(&context->ReaderWorker);

    // Runs of the item may overlap; the record's lock orders them, and a
    // launch finds a running reader left alone.
    WDF_WORKITEM_CONFIG_INIT(&config, Quillex_EvtReaderLaunchWorkItem);
    config.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    status = WdfWorkItemCreate(&config, &attributes, &context->ReaderLaunchWorkItem);
    if (!NT_SUCCESS(status)) {
        context->ReaderLaunchWorkItem = NULL;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                    "Quillex!QuillexReaderLaunchInit: Error - WdfWorkItemCreate failed - 0x%x\n",
                    status);
    }
    return status;
}

_Use_decl_annotations_ VOID
Quillex_EvtDeviceFileCreateComplete(WDFREQUEST Request, WDFIOTARGET Target,
                                    PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context) {
    PDEVICE_CONTEXT context = static_cast<PDEVICE_CONTEXT>(Context);
    NTSTATUS status;

    UNREFERENCED_PARAMETER(Target);
    UNREFERENCED_PARAMETER(Params);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY,
                "Quillex!Quillex_EvtDeviceFileCreateComplete: ++\n");

    // The lower driver completes the open in whatever context it likes, up
    // to DISPATCH_LEVEL. The launch waits for the record's lock and creates
    // a thread, both at PASSIVE_LEVEL only: above it, the device's work item
    // launches the reader, unless one runs now and is not leaving (the
    // launch would leave it alone; the reader's own open of the stick is
    // one such open).
    if (context != NULL) {
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            QuillexLaunchReaderForOpen(context);
        } else if (!ThreadRunsOn(&context->ReaderWorker)) {
            WdfWorkItemEnqueue(context->ReaderLaunchWorkItem);
        }
    }

    // The caller sees the lower driver's answer to its open.
    status = WdfRequestGetStatus(Request);
    WdfRequestComplete(Request, status);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY,
                "Quillex!Quillex_EvtDeviceFileCreateComplete: -- %x\n", status);
}

_Use_decl_annotations_ VOID Torva_EvtIoInternalDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                                             size_t OutputBufferLength,
                                                             size_t InputBufferLength,
                                                             ULONG IoControlCode) {
    WDF_REQUEST_SEND_OPTIONS options;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY,
                "Quillex!Torva_EvtIoInternalDeviceControl: ++ (ioctl %x)\n", IoControlCode);

    // No code is looked at or refused: the collection below answers them all.
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
    if (!WdfRequestSend(Request, WdfDeviceGetIoTarget(WdfIoQueueGetDevice(Queue)), &options)) {
        status = WdfRequestGetStatus(Request);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                    "Quillex!Torva_EvtIoInternalDeviceControl: Error - WdfRequestSend failed: "
                    "0x%x\n",
                    status);
        WdfRequestComplete(Request, status);
    }

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!Torva_EvtIoInternalDeviceControl: --\n");
}

// Setup and teardown of the HID input pipeline: the probe, the reader's
// buffers and requests, and stopping the reader before anything it uses goes.
#include "hid/hid_pipeline.h"

#include "mapping/decode.h"

namespace {

// How long teardown keeps waiting, in slices, for a reader thread that did
// not confirm its exit within the stop's short bound: a read still completing
// must never find its buffers gone.
#define READER_EXIT_WAIT_SLICE_MS 1000
#define READER_EXIT_WAIT_SLICES   30

NTSTATUS CreatePipelineRequest(PDEVICE_CONTEXT Context, WDFREQUEST* Request) {
    WDF_OBJECT_ATTRIBUTES attributes;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Context->Device;
    return WdfRequestCreate(&attributes, Context->Hid.DefaultIoTarget, Request);
}

VOID DeleteRequest(WDFREQUEST* Request) {
    if (*Request != NULL) {
        WdfObjectDelete(*Request);
        *Request = NULL;
    }
}

// After the stop: the thread may not have confirmed in time (a read still
// completing, or a thread without a reference to wait on), and may still be
// closing its target while a read completes into the buffers. Wait for it
// on. TRUE once it has left.
BOOLEAN WaitForReaderExit(PDEVICE_CONTEXT Context) {
    PWORKER_RECORD worker = &Context->ReaderWorker;
    LARGE_INTEGER slice;

    slice.QuadPart = -static_cast<LONGLONG>(READER_EXIT_WAIT_SLICE_MS) * 10000;
    for (ULONG i = 0; i < READER_EXIT_WAIT_SLICES; ++i) {
        if (ThreadHasLeft(worker)) {
            return TRUE;
        }
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_HID,
                    "Quillex!QuillexHidTeardown: <%u> Reader thread still running, waiting for "
                    "it to leave\n",
                    Context->InstanceNumber);
        KeSetEvent(&worker->EV_STOP_THREAD, IO_NO_INCREMENT, FALSE);
        (VOID)
            KeWaitForSingleObject(&worker->EV_THREAD_EXITED, Executive, KernelMode, FALSE, &slice);
    }
    return ThreadHasLeft(worker);
}

} // namespace

PAGED_CODE_SEG _Use_decl_annotations_ VOID QuillexHidResetContext(PDEVICE_CONTEXT Context) {
    PAGED_CODE();

    // Device add prepared the worker record. Preparing it again here would
    // reset the lock of a launch that an earlier open handed to the work item
    // and the events of a reader the last teardown gave up on; a launch
    // clears what an earlier reader left behind.
    if (ThreadState(&Context->ReaderWorker) == WORKER_UNINITIALIZED) {
        (VOID) ThreadInit(&Context->ReaderWorker);
    }

    RtlZeroMemory(&Context->Hid.CollectionInformation, sizeof(Context->Hid.CollectionInformation));
    RtlZeroMemory(&Context->Hid.PreparsedData, sizeof(Context->Hid.PreparsedData));
    Context->Hid.DefaultIoTarget = NULL;

    RtlZeroMemory(&Context->InputReport, sizeof(Context->InputReport));
    Context->InputReportWdfRequest = NULL;
    RtlZeroMemory(&Context->OutputReport, sizeof(Context->OutputReport));
    Context->OutputReportWdfRequest = NULL;
    RtlZeroMemory(&Context->OutputButtonUsageList, sizeof(Context->OutputButtonUsageList));

    Context->bInputThreadStop = FALSE;

    for (ULONG type = 0; type < HID_REPORT_TYPE_COUNT; ++type) {
        RtlZeroMemory(&Context->Hid.ButtonCaps[type], sizeof(MEMORY_BUFFER));
        RtlZeroMemory(&Context->Hid.ValueCaps[type], sizeof(MEMORY_BUFFER));
    }

    KIRQL irql;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    Context->CanonicalButtons = 0;
    RtlZeroMemory(&Context->AnalogValues, sizeof(Context->AnalogValues));
    KeReleaseSpinLock(&Context->StateLock, irql);
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS QuillexHidSetup(WDFDEVICE Device) {
    PDEVICE_CONTEXT context;
    NTSTATUS status;
    NTSTATUS allocation;
    MEMORY_BUFFER analogValues = {};

    PAGED_CODE();

    context = QuillexGetDeviceContext(Device);
    QuillexHidResetContext(context);

    status = QuillexHidDeviceProbe(Device);
    if (!NT_SUCCESS(status)) {
        goto Failed;
    }

    // The decoders write seven analog values and read a whole raw report:
    // a collection that offers less is refused before any read is made.
    if (context->Hid.Caps.NumberInputValueCaps < ANALOG_VALUE_COUNT ||
        context->Hid.Caps.InputReportByteLength < QuillexHidRawReportLength(context)) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexHidSetup: <%u> Error - collection has %u input values and "
                    "%u-byte input reports; the stick needs %u values and %u bytes - 0x%x\n",
                    context->InstanceNumber, context->Hid.Caps.NumberInputValueCaps,
                    context->Hid.Caps.InputReportByteLength, ANALOG_VALUE_COUNT,
                    QuillexHidRawReportLength(context), status);
        goto Failed;
    }

    allocation = QuillexAllocMemory(Device, &analogValues,
                                    static_cast<size_t>(context->Hid.Caps.NumberInputValueCaps) *
                                        sizeof(ULONG));
    if (NT_SUCCESS(allocation)) {
        // The application's push and the refresh look at the values under
        // StateLock, on their own threads: they appear whole, under it.
        KIRQL irql;
        KeAcquireSpinLock(&context->StateLock, &irql);
        context->AnalogValues = analogValues;
        KeReleaseSpinLock(&context->StateLock, irql);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexHidSetup: <%u> Error - Couldn't allocate analog input values "
                    "array - 0x%x\n",
                    context->InstanceNumber, allocation);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Failed;
    }

    allocation =
        QuillexAllocMemory(Device, &context->InputReport,
                           static_cast<size_t>(context->Hid.Caps.InputReportByteLength) + 1);
    if (!NT_SUCCESS(allocation)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexHidSetup: <%u> Error - Couldn't allocate InputReport - 0x%x\n",
                    context->InstanceNumber, allocation);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Failed;
    }

    status = CreatePipelineRequest(context, &context->InputReportWdfRequest);
    if (!NT_SUCCESS(status)) {
        context->InputReportWdfRequest = NULL;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexHidSetup: <%u> Error - WdfRequestCreate failed for InputReport "
                    "- 0x%x\n",
                    context->InstanceNumber, status);
        goto Failed;
    }

    allocation =
        QuillexAllocMemory(Device, &context->OutputReport,
                           static_cast<size_t>(context->Hid.Caps.OutputReportByteLength) + 1);
    if (!NT_SUCCESS(allocation)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexHidSetup: <%u> Error - Couldn't allocate OutputReport 0x%x\n",
                    context->InstanceNumber, allocation);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Failed;
    }

    status = CreatePipelineRequest(context, &context->OutputReportWdfRequest);
    if (!NT_SUCCESS(status)) {
        context->OutputReportWdfRequest = NULL;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexHidSetup: <%u> Error - WdfRequestCreate failed for "
                    "OutputReport - 0x%x\n",
                    context->InstanceNumber, status);
        goto Failed;
    }

    KeInitializeEvent(&context->ReadCompleteEvent, SynchronizationEvent, FALSE);
    return STATUS_SUCCESS;

Failed:
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                "Quillex!QuillexHidSetup: <%u> Error - Setup failed with status %x, cleaning "
                "up...\n",
                context->InstanceNumber, status);
    QuillexHidTeardown(Device);
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ VOID QuillexHidTeardown(WDFDEVICE Device) {
    PDEVICE_CONTEXT context;
    NTSTATUS status;
    BOOLEAN readerGone = TRUE;

    PAGED_CODE();

    context = QuillexGetDeviceContext(Device);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!QuillexHidTeardown: <%u> ++\n",
                context->InstanceNumber);

    // Under the record's lock a launch is either done or, the hardware being
    // marked released, refused from now on.
    ThreadLockRecord(&context->ReaderWorker);
    BOOLEAN readerLaunched = ThreadHandleHeld(&context->ReaderWorker);
    ThreadUnlockRecord(&context->ReaderWorker);
    if (readerLaunched) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                    "Quillex!QuillexHidTeardown: <%u> Shutdown HID reader data pump...\n",
                    context->InstanceNumber);
        status = ThreadRecover(&context->ReaderWorker, 7);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                    "Quillex!QuillexHidTeardown: <%u> ThreadRecover status %x\n",
                    context->InstanceNumber, status);
        // Whatever the stop's short wait gave, nothing the reader uses goes
        // before it has left.
        readerGone = WaitForReaderExit(context);
    }

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!QuillexHidTeardown: <%u> Delete OutputButtonUsageList\n",
                context->InstanceNumber);
    QuillexReleaseMemory(&context->OutputButtonUsageList);

    if (context->OutputReportWdfRequest != NULL) {
        DeleteRequest(&context->OutputReportWdfRequest);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                    "Quillex!QuillexHidTeardown: <%u> Deleted OutputReportWdfRequest\n",
                    context->InstanceNumber);
    }

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!QuillexHidTeardown: <%u> Delete OutputReport\n", context->InstanceNumber);
    QuillexReleaseMemory(&context->OutputReport);

    if (!readerGone) {
        // Left to the device, which deletes them with itself: never freed
        // under a thread that may still touch them.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexHidTeardown: <%u> Error - reader thread did not leave; its "
                    "request and buffers stay with the device\n",
                    context->InstanceNumber);
    } else {
        if (context->InputReportWdfRequest != NULL) {
            DeleteRequest(&context->InputReportWdfRequest);
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                        "Quillex!QuillexHidTeardown: <%u> Deleted InputReportWdfRequest\n",
                        context->InstanceNumber);
        }
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                    "Quillex!QuillexHidTeardown: <%u> Delete InputReport\n",
                    context->InstanceNumber);
        QuillexReleaseMemory(&context->InputReport);
        // Taken away under StateLock first: a push or a refresh that found
        // the values there is done with them before they are freed.
        MEMORY_BUFFER analogValues;
        KIRQL irql;
        KeAcquireSpinLock(&context->StateLock, &irql);
        analogValues = context->AnalogValues;
        RtlZeroMemory(&context->AnalogValues, sizeof(context->AnalogValues));
        KeReleaseSpinLock(&context->StateLock, irql);
        QuillexReleaseMemory(&analogValues);
    }

    for (ULONG type = 0; type < HID_REPORT_TYPE_COUNT; ++type) {
        QuillexReleaseMemory(&context->Hid.ButtonCaps[type]);
        QuillexReleaseMemory(&context->Hid.ValueCaps[type]);
    }

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!QuillexHidTeardown: <%u> Delete PreparsedData\n", context->InstanceNumber);
    QuillexReleaseMemory(&context->Hid.PreparsedData);

    if (context->Hid.DefaultIoTarget != NULL) {
        context->Hid.DefaultIoTarget = NULL;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                    "Quillex!QuillexHidTeardown: <%u> Disconnected Hid.DefaultIoTarget\n",
                    context->InstanceNumber);
    }

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!QuillexHidTeardown: <%u> --\n",
                context->InstanceNumber);
}

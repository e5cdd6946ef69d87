// The function device's hardware lifecycle: prepare and release hardware,
// and the device context's cleanup.
#include "driver/lifecycle.h"

#include "hid/hid_pipeline.h"
#include "xusb/xusb_pdo.h"

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS Quillex_EvtDevicePrepareHardware(
    WDFDEVICE Device, WDFCMRESLIST ResourcesRaw, WDFCMRESLIST ResourcesTranslated) {
    PDEVICE_CONTEXT context;

    // A HID collection brings no hardware resources of its own.
    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE,
                "Quillex!Quillex_EvtDevicePrepareHardware: ++\n");

    context = QuillexGetDeviceContext(Device);
    QuillexWriteFlag(&context->PdoCreated, FALSE);
    QuillexWriteFlag(&context->HardwareReleased, FALSE);

    // A failed setup is not the framework's concern: the device still starts,
    // and a reader launched later finds no buffers and stops at once. The
    // emulated controller is made later, by the reader.
    QuillexHidResetContext(context);
    (VOID) QuillexHidSetup(Device);

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE,
                "Quillex!Quillex_EvtDevicePrepareHardware:  Add a PDO %u\n",
                context->InstanceNumber);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE,
                "Quillex!Quillex_EvtDevicePrepareHardware: -- %x\n", STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS
Quillex_EvtDeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated) {
    PDEVICE_CONTEXT context;
    NTSTATUS status = STATUS_SUCCESS;

    UNREFERENCED_PARAMETER(ResourcesTranslated);
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE,
                "Quillex!Quillex_EvtDeviceReleaseHardware: ++\n");

    context = QuillexGetDeviceContext(Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE,
                "Quillex!Quillex_EvtDeviceReleaseHardware:  Remove PDO %u\n",
                context->InstanceNumber);

    // Marked first, so that an open completing from now on starts nothing.
    QuillexWriteFlag(&context->HardwareReleased, TRUE);

    // The emulated controller is marked removed: it refuses its class
    // driver from now on. It is also reported missing, so that the PnP
    // manager takes it away: the next start makes a new one, and without
    // this every stop would leave a dead controller behind until the stick
    // is unplugged. The handle stays set; the child's own cleanup clears it.
    WDFDEVICE child = QuillexChildOf(context);
    if (child != NULL) {
        status = QuillexRemovePdo(child);
        NTSTATUS missing = WdfPdoMarkMissing(child);
        if (!NT_SUCCESS(missing) && missing != STATUS_NO_SUCH_DEVICE) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DEVICE,
                        "Quillex!Quillex_EvtDeviceReleaseHardware: <%u> WdfPdoMarkMissing "
                        "failed - 0x%x\n",
                        context->InstanceNumber, missing);
        }
        QuillexWriteFlag(&context->PdoCreated, FALSE);
    }

    // Stops the reader, then releases what it used.
    QuillexHidTeardown(Device);

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE,
                "Quillex!Quillex_EvtDeviceReleaseHardware: -- %x\n", status);
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ VOID QuillexContextCleanup(WDFOBJECT Object) {
    PDEVICE_CONTEXT context;

    PAGED_CODE();

    context = QuillexGetDeviceContext(Object);
    if (context == NULL) {
        return;
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!QuillexContextCleanup: <%u> ++\n",
                context->InstanceNumber);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE,
                "Quillex!QuillexContextCleanup:  Remove PDO2 %u\n", context->InstanceNumber);

    WDFDEVICE child = QuillexChildOf(context);
    if (child != NULL) {
        (VOID) QuillexRemovePdo(child);
    }

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!QuillexContextCleanup: <%u>--\n",
                context->InstanceNumber);
}

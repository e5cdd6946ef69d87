// The emulated controller child: its context, its removal mark, its cleanup.
#include "xusb/urb_dispatch.h"

#include "platform/device_context.h"

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS Bus_XusbInitializePdoData(WDFDEVICE Pdo,
                                                                         WDFDEVICE Device,
                                                                         ULONG InstanceNumber) {
    PAGED_CODE();
    PXUSB_PDO_DEVICE_DATA pdoData = Pdo != NULL ? XusbPdoGetData(Pdo) : NULL;
    PDEVICE_CONTEXT parent = Device != NULL ? QuillexGetDeviceContext(Device) : NULL;
    if (pdoData == NULL || parent == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    pdoData->InstanceNumber = InstanceNumber;
    pdoData->ParentDevice = Device;
    pdoData->bRemoved = FALSE;
    pdoData->ProductId = parent->ProductId;
    InitializeListHead(&pdoData->PendingEp1Irps);
    KeInitializeSpinLock(&pdoData->PendingEp1Lock);
    pdoData->ConfigDescriptorState = 0;
    pdoData->StringDescriptorState = 0;
    pdoData->Ep1InState = 0;
    pdoData->VendorRequestState = 0;
    pdoData->ConfigurationDescribed = 0;
    (VOID) XboxControllerPrepareConfiguration(pdoData); // a failure shows on enumeration
    pdoData->LatestReportHeld = FALSE;
    ExInitializeRundownProtection(&pdoData->Ep1CancelRundown);
    ExInitializeRundownProtection(&pdoData->HandOverRundown);
    pdoData->PendingLedState = XUSB_NO_LED_STATE;
    KeInitializeMutex(&pdoData->LedMutex, 0);

    // The work item belongs to the child: deleting the child waits for it.
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, XboxControllerLedWorkItem);
    config.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Pdo;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &pdoData->LedWorkItem);
    if (!NT_SUCCESS(status)) {
        pdoData->LedWorkItem = NULL;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbInitializePdoData: <%u> WdfWorkItemCreate failed 0x%x\n",
                    InstanceNumber, status);
    }
    return status;
}

_Use_decl_annotations_ NTSTATUS QuillexRemovePdo(WDFDEVICE Pdo) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Quillex!QuillexRemovePdo: ++\n");
    PXUSB_PDO_DEVICE_DATA pdoData = Pdo != NULL ? XusbPdoGetData(Pdo) : NULL;
    if (pdoData != NULL) {
        // Only the mark changes: waiting transfers stay until they are
        // cancelled or the child is destroyed.
        // Read by hand-overs and transfers on other threads.
        QuillexWriteFlag(&pdoData->bRemoved, TRUE);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Quillex!QuillexRemovePdo: --\n");
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VOID XusbPdoCleanup(WDFOBJECT Object) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Quillex!XusbPdoCleanup: ++\n");
    PXUSB_PDO_DEVICE_DATA pdoData = XusbPdoGetData(Object);
    if (pdoData != NULL) {
        // The context goes away with the child: transfers still linked into
        // its list, and cancel routines about to look for them, must be done
        // with it first.
        XboxControllerFlushEp1Transfers(pdoData);
        PDEVICE_CONTEXT parent =
            pdoData->ParentDevice != NULL ? QuillexGetDeviceContext(pdoData->ParentDevice) : NULL;
        if (parent != NULL) {
            KIRQL irql;
            KeAcquireSpinLock(&parent->StateLock, &irql);
            // A newer child the parent already names keeps its place. The
            // reader publishes XusbPdo interlocked: cleared the same way.
            (VOID) InterlockedCompareExchangePointer(
                reinterpret_cast<PVOID volatile*>(&parent->XusbPdo), NULL, Object);
            KeReleaseSpinLock(&parent->StateLock, irql);
        }
        // Nobody can take this child any more; whoever took it before is
        // handing a report to it right now and must be done with the context
        // first. Hand-overs only complete transfers: none waits for this
        // cleanup.
        ExWaitForRundownProtectionRelease(&pdoData->HandOverRundown);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Quillex!XusbPdoCleanup: --\n");
}

_Use_decl_annotations_ PXUSB_PDO_DEVICE_DATA Bus_XusbReferenceChildLocked(PDEVICE_CONTEXT Parent) {
    WDFDEVICE child = Parent != NULL ? QuillexChildOf(Parent) : NULL;
    if (child == NULL) {
        return NULL;
    }
    PXUSB_PDO_DEVICE_DATA pdoData = XusbPdoGetData(child);
    // Refused only once the child's cleanup has begun to wait: the child is
    // on its way out.
    if (!ExAcquireRundownProtection(&pdoData->HandOverRundown)) {
        return NULL;
    }
    return pdoData;
}

_Use_decl_annotations_ VOID Bus_XusbDereferenceChild(PXUSB_PDO_DEVICE_DATA Child) {
    if (Child != NULL) {
        ExReleaseRundownProtection(&Child->HandOverRundown);
    }
}

_Use_decl_annotations_ NTSTATUS TraceMultiSz(PCSTR Prefix, PCSTR Title, PCWSTR MultiSz) {
    PCSTR prefix = Prefix != NULL ? Prefix : "";
    if (Title != NULL) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_URB, "%s%s\n", prefix, Title);
    }
    if (MultiSz == NULL) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_URB, "%sERROR - NULL MultiSZ!\n", prefix);
        return STATUS_SUCCESS;
    }
    if (*MultiSz == L'\0') {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_URB, "%s    <empty list>\n", prefix);
        return STATUS_SUCCESS;
    }
    for (PCWSTR item = MultiSz; *item != L'\0';) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_URB, "%s    '%S'\n", prefix, item);
        while (*item != L'\0') {
            ++item;
        }
        ++item; // past the string's null, to the next string or the final null
    }
    return STATUS_SUCCESS;
}

// LED commands of the class driver. They arrive in endpoint 2 transfers, up
// to DISPATCH_LEVEL; the mapping engine records the LED state under a mutex,
// at PASSIVE_LEVEL only. The newest state waits in the child's context for
// its LED work item; a command that arrives before the work item has picked
// up the previous one replaces it, as the LED shows only the latest anyway.
#include "xusb/urb_dispatch.h"

#include "platform/device_context.h"
#include "mapping/led_state.h"

_Use_decl_annotations_ NTSTATUS XboxControllerQueueLedState(PXUSB_PDO_DEVICE_DATA PdoData,
                                                            UCHAR LedState) {
    if (PdoData->LedWorkItem == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB,
                    "Quillex!XboxControllerQueueLedState: ERROR no LED work item, LED state %u "
                    "dropped\n",
                    LedState);
        return STATUS_INVALID_DEVICE_STATE;
    }
    InterlockedExchange(&PdoData->PendingLedState, LedState);
    WdfWorkItemEnqueue(PdoData->LedWorkItem);
    return STATUS_SUCCESS;
}

PAGED_CODE_SEG _Use_decl_annotations_ VOID XboxControllerLedWorkItem(WDFWORKITEM WorkItem) {
    PAGED_CODE();
    PXUSB_PDO_DEVICE_DATA pdoData = XusbPdoGetData(WdfWorkItemGetParentObject(WorkItem));
    PDEVICE_CONTEXT context = QuillexGetDeviceContext(pdoData->ParentDevice);
    // Runs of the work item may overlap; taking the state under the mutex
    // applies the states in the order they were taken.
    KeWaitForSingleObject(&pdoData->LedMutex, Executive, KernelMode, FALSE, NULL);
    LONG state = InterlockedExchange(&pdoData->PendingLedState, XUSB_NO_LED_STATE);
    if (state != XUSB_NO_LED_STATE) {
        TorvaXboxMappingSetLed(context, static_cast<UCHAR>(state)); // traces its own failures
    }
    KeReleaseMutex(&pdoData->LedMutex, FALSE);
}

// Device control requests reaching the function device's queue.
#include "appapi/control_dispatch.h"

_Use_decl_annotations_ VOID Quillex_EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                                       size_t OutputBufferLength,
                                                       size_t InputBufferLength,
                                                       ULONG IoControlCode) {
    WDF_REQUEST_SEND_OPTIONS options;

    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY,
                "Quillex!Quillex_EvtIoDeviceControl: ++ (ioctl %x)\n", IoControlCode);

    // The companion application's control codes are answered here once the
    // application interface exists; until then every code, like the HID
    // collection's own device control traffic, goes down the stack unchanged.
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
    if (!WdfRequestSend(Request, WdfDeviceGetIoTarget(WdfIoQueueGetDevice(Queue)), &options)) {
        WdfRequestComplete(Request, WdfRequestGetStatus(Request));
    }
}

// Device control requests reaching the function device's queue: the companion
// application's six control codes are answered here, the HID collection's
// own traffic goes down the stack unchanged.
#include "appapi/control_dispatch.h"

#include "appapi/app_data.h"
#include "mapping/arcade_store.h"
#include "mapping/remap_store.h"

namespace {

// Retrieves the buffer a code needs, tracing a failure with the code's name;
// the failure status completes the request.
NTSTATUS Retrieve(WDFREQUEST Request, bool Output, size_t Minimum, PCSTR CodeName, PVOID* Buffer) {
    NTSTATUS status = Output ? WdfRequestRetrieveOutputBuffer(Request, Minimum, Buffer, NULL)
                             : WdfRequestRetrieveInputBuffer(Request, Minimum, Buffer, NULL);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                    "Quillex!Quillex_EvtIoDeviceControl: Error - %s: %s failed - 0x%x\n", CodeName,
                    Output ? "WdfRequestRetrieveOutputBuffer" : "WdfRequestRetrieveInputBuffer",
                    status);
    }
    return status;
}

// One of the six codes: performs it and completes the request with the
// operation's status, and on success with the reply's length.
VOID DispatchQuillexCode(PDEVICE_CONTEXT Context, WDFREQUEST Request, ULONG IoControlCode) {
    PVOID input = NULL;
    PVOID output = NULL;
    ULONG_PTR information = 0;
    KIRQL irql;
    NTSTATUS status;

    switch (IoControlCode) {
    case IOCTL_QUILLEX_GET_STATE:
        status = Retrieve(Request, true, sizeof(APP_INSTANCE), "IOCTL_QUILLEX_GET_STATE", &output);
        if (NT_SUCCESS(status)) {
            KeAcquireSpinLock(&Context->StateLock, &irql);
            status = AppApi_GetInstance(&Context->AppInstance, sizeof(APP_INSTANCE), output);
            KeReleaseSpinLock(&Context->StateLock, irql);
            information = sizeof(APP_INSTANCE);
        }
        break;

    case IOCTL_QUILLEX_SET_STATE:
        status = Retrieve(Request, false, sizeof(APP_INSTANCE), "IOCTL_QUILLEX_SET_STATE", &input);
        if (NT_SUCCESS(status)) {
            status =
                AppApi_SetInstance(Context, &Context->AppInstance, sizeof(APP_INSTANCE), input);
        }
        break;

    case IOCTL_QUILLEX_GET_VALUE:
        status = Retrieve(Request, false, sizeof(ULONG), "IOCTL_QUILLEX_GET_VALUE", &input);
        if (NT_SUCCESS(status)) {
            status = Retrieve(Request, true, sizeof(ULONG), "IOCTL_QUILLEX_GET_VALUE", &output);
        }
        if (NT_SUCCESS(status)) {
            // Input and output share the system buffer: the id is read
            // before the item is written over it. A one-byte item leaves the
            // id's other three bytes in the reply, as applications expect.
            ULONG dataItemId;
            RtlCopyMemory(&dataItemId, input, sizeof(dataItemId));
            if (AppApi_IsSettingItem(dataItemId)) {
                status = AppApi_GetSettingItem(Context, dataItemId, sizeof(ULONG), output);
            } else {
                KeAcquireSpinLock(&Context->StateLock, &irql);
                status = AppApi_GetInstanceItem(&Context->AppInstance, dataItemId, sizeof(ULONG),
                                                output);
                KeReleaseSpinLock(&Context->StateLock, irql);
            }
            information = sizeof(ULONG);
        }
        break;

    case IOCTL_QUILLEX_SET_VALUE:
        status = Retrieve(Request, false, sizeof(QUILLEX_SET_VALUE_INPUT),
                          "IOCTL_QUILLEX_SET_VALUE", &input);
        if (NT_SUCCESS(status)) {
            QUILLEX_SET_VALUE_INPUT value;
            RtlCopyMemory(&value, input, sizeof(value));
            status = AppApi_IsSettingItem(value.DataItemId)
                         ? AppApi_SetSettingItem(Context, value.DataItemId, sizeof(value.Value),
                                                 value.Value)
                         : AppApi_SetInstanceItem(Context, &Context->AppInstance, value.DataItemId,
                                                  sizeof(value.Value), value.Value);
        }
        break;

    case IOCTL_QUILLEX_GET_MAPPING:
        status =
            Retrieve(Request, true, sizeof(REMAP_RECORD), "IOCTL_QUILLEX_GET_MAPPING", &output);
        if (NT_SUCCESS(status)) {
            status = TorvaXboxMappingGetMapping(Context, output, sizeof(REMAP_RECORD));
            information = sizeof(REMAP_RECORD);
        }
        break;

    default: // IOCTL_QUILLEX_SET_MAPPING
        status =
            Retrieve(Request, false, sizeof(REMAP_RECORD), "IOCTL_QUILLEX_SET_MAPPING", &input);
        if (NT_SUCCESS(status)) {
            // The new mapping is in force even when it could not be saved;
            // the application hears the save's status.
            status = TorvaXboxMappingSetMapping(Context, input, sizeof(REMAP_RECORD));
            // A restore of the defaults reaches the settings beside the
            // mapping too; the first failed save is what the application hears.
            if (static_cast<const REMAP_RECORD*>(input)->RestoreDefaults != 0) {
                NTSTATUS settings = TorvaXboxMappingRestoreArcadeSettings(Context);
                status = NT_SUCCESS(status) ? settings : status;
            }
        }
        break;
    }

    WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? information : 0);
}

inline bool IsQuillexCode(ULONG IoControlCode) {
    switch (IoControlCode) {
    case IOCTL_QUILLEX_GET_STATE:
    case IOCTL_QUILLEX_SET_STATE:
    case IOCTL_QUILLEX_GET_VALUE:
    case IOCTL_QUILLEX_SET_VALUE:
    case IOCTL_QUILLEX_GET_MAPPING:
    case IOCTL_QUILLEX_SET_MAPPING:
        return true;
    default:
        return false;
    }
}

} // namespace

_Use_decl_annotations_ VOID Quillex_EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                                       size_t OutputBufferLength,
                                                       size_t InputBufferLength,
                                                       ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    PDEVICE_CONTEXT context = device != NULL ? QuillexGetDeviceContext(device) : NULL;

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY,
                "Quillex!Quillex_EvtIoDeviceControl: ++ (ioctl %x)\n", IoControlCode);

    if (context == NULL || IoControlCode == IOCTL_HID_GET_COLLECTION_INFORMATION) {
        // The collection's information describes the collection to its own
        // drivers; applications above the filter do not get it.
        WdfRequestComplete(Request, STATUS_INVALID_PARAMETER);
    } else if (IsQuillexCode(IoControlCode)) {
        DispatchQuillexCode(context, Request, IoControlCode);
    } else {
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
        if (!WdfRequestSend(Request, WdfDeviceGetIoTarget(device), &options)) {
            WdfRequestComplete(Request, WdfRequestGetStatus(Request));
        }
        return;
    }

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!Quillex_EvtIoDeviceControl: --\n");
}

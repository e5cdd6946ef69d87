// Driver entry and device add.
//
// The one driver source that defines the GUIDs the WDK's headers and ours
// declare with DEFINE_GUID: <initguid.h> comes before all of them.
#include <initguid.h>

#include "driver/device_add.h"

#include "appapi/app_state.h"
#include "appapi/control_dispatch.h"
#include "driver/lifecycle.h"
#include "mapping/arcade_store.h"
#include "mapping/remap_store.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, DriverEntry)
#endif

// The hardware ID list is read into a buffer of this many bytes; a longer list
// fails device add.
#define QUILLEX_HARDWARE_ID_BYTES 512

// Number of the next device added; devices are numbered from 1 and numbers
// are never given back.
static LONG QuillexInstanceCounter = 1;

static VOID QuillexSetPdoName(_Inout_ PDEVICE_CONTEXT Context, _In_ PVOID Buffer, _In_ size_t Size);

_Use_decl_annotations_ NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                            PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    // DriverEntry runs once per load of the driver: numbering starts over with it.
    QuillexInstanceCounter = 1;

    WDF_DRIVER_CONFIG_INIT(&config, Quillex_EvtDeviceAdd);
    config.EvtDriverUnload = Quillex_EvtDriverUnload;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = Quillex_EvtDriverContextCleanup;

    status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "Quillex: Error Creating WDFDRIVER 0x%x\n",
                    status);
    }
    return status;
}

_Use_decl_annotations_ VOID Quillex_EvtDriverUnload(WDFDRIVER Driver) {
    // Every device is gone before the driver unloads: nothing is left to undo.
    UNREFERENCED_PARAMETER(Driver);
}

_Use_decl_annotations_ VOID Quillex_EvtDriverContextCleanup(WDFOBJECT Object) {
    // The driver object carries no context of its own.
    UNREFERENCED_PARAMETER(Object);
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS Quillex_EvtDeviceAdd(WDFDRIVER Driver,
                                                                    PWDFDEVICE_INIT DeviceInit) {
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES memoryAttributes;
    WDFDEVICE device;
    WDFMEMORY pdoNameMemory;
    PDEVICE_CONTEXT context;
    // One code unit more than is queried, always zero: whatever the query
    // leaves in the buffer, the product id search stops inside it.
    WCHAR hardwareId[QUILLEX_HARDWARE_ID_BYTES / sizeof(WCHAR) + 1];
    ULONG resultLength;
    PVOID nameBuffer;
    size_t nameSize;
    NTSTATUS status;

    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!Quillex_EvtDeviceAdd: ++\n");

    WdfFdoInitSetFilter(DeviceInit);

    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    pnpPowerCallbacks.Size = QUILLEX_KMDF_1_9_SIZE(WDF_PNPPOWER_EVENT_CALLBACKS);
    pnpPowerCallbacks.EvtDevicePrepareHardware = Quillex_EvtDevicePrepareHardware;
    pnpPowerCallbacks.EvtDeviceReleaseHardware = Quillex_EvtDeviceReleaseHardware;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);

    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, Quillex_EvtDeviceFileCreate, WDF_NO_EVENT_CALLBACK,
                               WDF_NO_EVENT_CALLBACK);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DEVICE_CONTEXT);
    deviceAttributes.EvtCleanupCallback = QuillexContextCleanup;

    status = WdfDeviceCreate(&DeviceInit, &deviceAttributes, &device);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                    "Quillex!Quillex_EvtDeviceAdd: Error - WdfDeviceCreate failed - %x\n", status);
        return status;
    }

    context = QuillexGetDeviceContext(device);
    context->Driver = Driver;
    context->Device = device;
    KeInitializeSpinLock(&context->StateLock);
    context->InstanceNumber = (ULONG)InterlockedExchangeAdd(&QuillexInstanceCounter, 1);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!Quillex_EvtDeviceAdd: This will be device # %u\n",
                context->InstanceNumber);
    context->ProductId = 0;
    // No hardware yet: an open completing before the first start launches
    // no reader.
    QuillexWriteFlag(&context->HardwareReleased, TRUE);

    status = QuillexReaderLaunchInit(device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    RtlZeroMemory(hardwareId, sizeof(hardwareId));
    status = WdfDeviceQueryProperty(device, DevicePropertyHardwareID, QUILLEX_HARDWARE_ID_BYTES,
                                    hardwareId, &resultLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    (VOID) ParseHexField(hardwareId, L"PID_", &context->ProductId);

    (VOID) TorvaXboxMappingInit(context);

    status = AppApi_Initialize(&context->AppInstance);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                    "Quillex!Quillex_EvtDeviceAdd: Error - AppApi_Initialize failed - 0x%x\n",
                    status);
    }

    status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_QUILLEX, NULL);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                    "Quillex!Quillex_EvtDeviceAdd: Error - WdfDeviceCreateDeviceInterface failed "
                    "- 0x%x\n",
                    status);
    } else {
        // The name's memory belongs to the device, so PdoName lives exactly as long.
        WDF_OBJECT_ATTRIBUTES_INIT(&memoryAttributes);
        memoryAttributes.ParentObject = device;
        status = WdfDeviceAllocAndQueryProperty(device, DevicePropertyPhysicalDeviceObjectName,
                                                NonPagedPool, &memoryAttributes, &pdoNameMemory);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                        "Quillex!Quillex_EvtDeviceAdd: Error - WdfDeviceAllocAndQueryProperty "
                        "failed - 0x%x\n",
                        status);
        } else {
            (VOID) TorvaXboxMappingInitRemap(context);
            (VOID) TorvaXboxMappingLoadArcade(context); // the settings beside the mapping
            nameBuffer = WdfMemoryGetBuffer(pdoNameMemory, &nameSize);
            if (nameBuffer != NULL) {
                QuillexSetPdoName(context, nameBuffer, nameSize);
            }
        }
    }

    status = QuillexQueueInit(device);

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_ENTRY, "Quillex!Quillex_EvtDeviceAdd: -- %x\n",
                status);
    return status;
}

// PdoName counts the name without its terminating null. A size that a
// counted string cannot carry (under one character, odd, or beyond 65534
// bytes, which a name of 32767 characters plus its null reaches) leaves
// PdoName empty rather than truncated or wrapped.
static VOID QuillexSetPdoName(PDEVICE_CONTEXT Context, PVOID Buffer, size_t Size) {
    if (Size < sizeof(WCHAR) || Size > (MAXUSHORT - 1) || (Size % sizeof(WCHAR)) != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                    "Quillex!Quillex_EvtDeviceAdd: Error - physical device object name of %Iu "
                    "bytes does not fit a counted string\n",
                    Size);
        return;
    }
    Context->PdoName.MaximumLength = (USHORT)Size;
    Context->PdoName.Length = (USHORT)(Size - sizeof(WCHAR));
    Context->PdoName.Buffer = (PWSTR)Buffer;
}

_Use_decl_annotations_ NTSTATUS ParseHexField(PCWSTR Text, PCWSTR Prefix, PULONG Value) {
    PCWSTR start;
    PCWSTR digits;
    ULONG matched;
    ULONG count;
    USHORT result;
    WCHAR c;

    if (Text == NULL || Prefix == NULL || Value == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    for (start = Text;; ++start) {
        // The comparison stops at the first difference, so it never reads
        // past Text's null: the null differs from every prefix character.
        matched = 0;
        while (Prefix[matched] != L'\0' && start[matched] == Prefix[matched]) {
            ++matched;
        }
        if (Prefix[matched] == L'\0') {
            break;
        }
        if (*start == L'\0') {
            return STATUS_UNSUCCESSFUL;
        }
    }

    digits = start + matched;
    result = 0;
    for (count = 0; count < 4; ++count) {
        c = digits[count];
        if (c >= L'0' && c <= L'9') {
            result = (USHORT)((result << 4) | (USHORT)(c - L'0'));
        } else if (c >= L'a' && c <= L'f') {
            result = (USHORT)((result << 4) | (USHORT)(c - L'a' + 10));
        } else if (c >= L'A' && c <= L'F') {
            result = (USHORT)((result << 4) | (USHORT)(c - L'A' + 10));
        } else {
            break;
        }
    }
    *Value = result;
    return STATUS_SUCCESS;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS QuillexQueueInit(WDFDEVICE Device) {
    WDF_IO_QUEUE_CONFIG queueConfig;
    NTSTATUS status;

    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!QuillexQueueInit: ++\n");

    // Only device control and internal device control have handlers: every
    // other request type passes the filter untouched.
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.Size = QUILLEX_KMDF_1_9_SIZE(WDF_IO_QUEUE_CONFIG);
    queueConfig.EvtIoDeviceControl = Quillex_EvtIoDeviceControl;
    queueConfig.EvtIoInternalDeviceControl = Torva_EvtIoInternalDeviceControl;

    status = WdfIoQueueCreate(Device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                    "Quillex!QuillexQueueInit: Error - WdfIoQueueCreate failed 0x%x\n", status);
    } else {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!QuillexQueueInit: -- %x\n", status);
    }
    return status;
}

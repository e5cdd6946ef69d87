// URB dispatch of the emulated controller: enumeration and configuration are
// played from hard-coded descriptors, and most requests are answered by
// position in a staged response table rather than by what they ask.
#include "xusb/urb_dispatch.h"

#include "xusb/staged_response.h"

namespace {

const UCHAR XboxDeviceDescriptor[18] = {
    0x12,       // bLength
    0x01,       // bDescriptorType: device
    0x00, 0x02, // bcdUSB 2.00
    0xFF,       // bDeviceClass: vendor
    0xFF,       // bDeviceSubClass
    0xFF,       // bDeviceProtocol
    0x08,       // bMaxPacketSize0
    0x6D, 0x04, // idVendor
    0x1D, 0xC2, // idProduct: replaced by the stick's product id in every answer
    0x14, 0x40, // bcdDevice
    0x01,       // iManufacturer
    0x02,       // iProduct
    0x03,       // iSerialNumber
    0x01,       // bNumConfigurations
};
const ULONG kIdProductOffset = 10;

const UCHAR XboxConfigDescriptor[48] = {
    // Configuration.
    0x09,       // bLength
    0x02,       // bDescriptorType: configuration
    0x30, 0x00, // wTotalLength: 48
    0x01,       // bNumInterfaces
    0x01,       // bConfigurationValue
    0x00,       // iConfiguration
    0x80,       // bmAttributes: bus powered
    0xFA,       // bMaxPower: 500 mA
    // Interface 0.
    0x09, // bLength
    0x04, // bDescriptorType: interface
    0x00, // bInterfaceNumber
    0x00, // bAlternateSetting
    0x02, // bNumEndpoints
    0xFF, // bInterfaceClass: vendor
    0x5D, // bInterfaceSubClass
    0x01, // bInterfaceProtocol
    0x00, // iInterface
    // Class-specific descriptor.
    0x10, // bLength: 16
    0x21, // bDescriptorType: class-specific
    0x10, 0x01, 0x01, 0x24, 0x81, 0x14, 0x03, 0x00, 0x03, 0x13, 0x02, 0x00, 0x03, 0x00,
    // Endpoint 1 IN: input reports.
    0x07,       // bLength
    0x05,       // bDescriptorType: endpoint
    0x81,       // bEndpointAddress: 1, IN
    0x03,       // bmAttributes: interrupt
    0x20, 0x00, // wMaxPacketSize: 32
    0x04,       // bInterval
    // Endpoint 2 OUT: LED and rumble messages.
    0x07,       // bLength
    0x05,       // bDescriptorType: endpoint
    0x02,       // bEndpointAddress: 2, OUT
    0x03,       // bmAttributes: interrupt
    0x20, 0x00, // wMaxPacketSize: 32
    0x08,       // bInterval
};

// The configuration descriptor alone (the first 9 bytes of the set), as
// answered to the first request.
const UCHAR* const XboxConfigHeader = XboxConfigDescriptor;
const ULONG kConfigHeaderLength = 9;

const UCHAR XboxProductString[30] = {
    0x1E, // bLength: 30
    0x03, // bDescriptorType: string
    // "Torva Galdrune", UTF-16LE, no terminator.
    'T',
    0,
    'o',
    0,
    'r',
    0,
    'v',
    0,
    'a',
    0,
    ' ',
    0,
    'G',
    0,
    'a',
    0,
    'l',
    0,
    'd',
    0,
    'r',
    0,
    'u',
    0,
    'n',
    0,
    'e',
    0,
};

const UCHAR EmptyDescriptor[2] = {0x00, 0x00};
const UCHAR ProductStringHeader[2] = {0x1E, 0x03};

const UCHAR VendorResponse0[20] = {
    0x00,       // message type
    0x14,       // length: 20
    0xFF, 0xF7, // buttons
    0xFF,       // left trigger
    0xFF,       // right trigger
    0xC0, 0xFF, // left stick X
    0xC0, 0xFF, // left stick Y
    0xC0, 0xFF, // right stick X
    0xC0, 0xFF, // right stick Y
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};
const UCHAR VendorResponse1[8] = {0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const UCHAR VendorResponse2[4] = {0xCB, 0xDE, 0x3E, 0xCC};

const STAGED_RESPONSE ConfigDescriptorResponses[] = {
    {XboxConfigHeader, kConfigHeaderLength, 0},
    {XboxConfigDescriptor, sizeof(XboxConfigDescriptor), 0},
    {EmptyDescriptor, sizeof(EmptyDescriptor), static_cast<ULONG>(USBD_STATUS_DATA_UNDERRUN)},
};
const STAGED_RESPONSE StringDescriptorResponses[] = {
    {ProductStringHeader, sizeof(ProductStringHeader),
     static_cast<ULONG>(USBD_STATUS_DATA_UNDERRUN)},
    {XboxProductString, sizeof(XboxProductString), 0},
};
const STAGED_RESPONSE VendorResponses[] = {
    {VendorResponse0, sizeof(VendorResponse0), 0},
    {VendorResponse1, sizeof(VendorResponse1), 0},
    {VendorResponse2, sizeof(VendorResponse2), 0},
};

const ULONG kValidationPoolTag = 0x58424B46; // "FKBX" in memory order

// Bytes of an URB that the handler of its function reads: a shorter URB
// (by its own header) is refused before anything is read past its end.
ULONG RequiredUrbLength(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface) +
               FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    case URB_FUNCTION_CONTROL_TRANSFER:
        return sizeof(_URB_CONTROL_TRANSFER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return sizeof(_URB_PIPE_REQUEST);
    default:
        return sizeof(_URB_HEADER);
    }
}

void ResetStages(PXUSB_PDO_DEVICE_DATA PdoData) {
    _InterlockedExchange8(reinterpret_cast<CHAR volatile*>(&PdoData->ConfigDescriptorState), 0);
    _InterlockedExchange8(reinterpret_cast<CHAR volatile*>(&PdoData->StringDescriptorState), 0);
    _InterlockedExchange8(reinterpret_cast<CHAR volatile*>(&PdoData->Ep1InState), 0);
    _InterlockedExchange8(reinterpret_cast<CHAR volatile*>(&PdoData->VendorRequestState), 0);
}

NTSTATUS AnswerDeviceDescriptor(PXUSB_PDO_DEVICE_DATA PdoData, PURB Urb) {
    _URB_CONTROL_DESCRIPTOR_REQUEST* request = &Urb->UrbControlDescriptorRequest;
    PVOID buffer;
    ULONG length;
    if (request->TransferBufferLength < sizeof(XboxDeviceDescriptor)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "XboxControllerGetDescriptorFromDevice Sizing Error!!! for "
                    "USB_DEVICE_DESCRIPTOR\n");
        request->TransferBufferLength = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    NTSTATUS status =
        XboxControllerGetTransferBuffer(request->TransferBuffer, request->TransferBufferMDL,
                                        request->TransferBufferLength, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        request->TransferBufferLength = 0;
        return status;
    }
    if (length < sizeof(XboxDeviceDescriptor)) { // an MDL shorter than the URB claims
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "XboxControllerGetDescriptorFromDevice Sizing Error!!! for "
                    "USB_DEVICE_DESCRIPTOR\n");
        request->TransferBufferLength = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Return Xbox USB_DEVICE_DESCRIPTOR\n");
    PUCHAR out = static_cast<PUCHAR>(buffer);
    RtlCopyMemory(out, XboxDeviceDescriptor, sizeof(XboxDeviceDescriptor));
    request->TransferBufferLength = sizeof(XboxDeviceDescriptor);
    out[kIdProductOffset] = static_cast<UCHAR>(PdoData->ProductId & 0xFF);
    out[kIdProductOffset + 1] = static_cast<UCHAR>((PdoData->ProductId >> 8) & 0xFF);
    ResetStages(PdoData);

    // The configuration set was validated when the child was made; its
    // verdict is this request's.
    status = PdoData->Configuration.ValidationStatus;
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "ERROR in Hard Coded USB Device Descriptor at byte offset: %u\n",
                    PdoData->Configuration.OffendingOffset);
        return status;
    }
    InterlockedExchange(&PdoData->ConfigurationDescribed, 1);
    return status;
}

// Answers with the request's stage and, as a USB stack does, leaves in
// *TransferBufferLength the number of bytes actually written.
NTSTATUS AnswerStaged(UCHAR* StageCounter, PCSTAGED_RESPONSE Table, ULONG RowCount, PCSTR Name,
                      PVOID TransferBuffer, PMDL TransferBufferMDL, ULONG* TransferBufferLength,
                      USBD_STATUS* UrbStatus) {
    PVOID buffer;
    ULONG length;
    ULONG copied = 0;
    NTSTATUS status = XboxControllerGetTransferBuffer(TransferBuffer, TransferBufferMDL,
                                                      *TransferBufferLength, &buffer, &length);
    if (NT_SUCCESS(status)) {
        status = XboxControllerAnswerStage(StageCounter, Table, RowCount, Name, buffer, length,
                                           UrbStatus, &copied);
    } // else no destination: the request consumes no stage
    *TransferBufferLength = copied;
    return status;
}

// Vendor and class requests on the default pipe that are not answered: no
// byte comes back from the device.
BOOLEAN IsVendorOrClassRequest(USHORT Function) {
    switch (Function) {
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
        return TRUE;
    default:
        return FALSE;
    }
}

NTSTATUS DispatchUrb(PXUSB_PDO_DEVICE_DATA PdoData, PURB Urb, PIRP Irp) {
    USHORT function = Urb->UrbHeader.Function;
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return XboxControllerSelectConfig(PdoData, Urb);
    case URB_FUNCTION_SELECT_INTERFACE:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                    "Quillex!XboxControllerSelectInterface: Do Nothing...\n");
        return STATUS_SUCCESS;
    case URB_FUNCTION_CONTROL_TRANSFER:
        return XboxControllerControlTransfer(PdoData, Urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return XboxControllerURBInterrupt(PdoData, Urb, Irp);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return XboxControllerGetDescriptorFromDevice(PdoData, Urb);
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                    "Quillex!XboxControllerGetStatusFromDevice: Do Nothing...\n");
        if (Urb->UrbHeader.Length >= sizeof(_URB_CONTROL_GET_STATUS_REQUEST)) {
            Urb->UrbControlGetStatusRequest.TransferBufferLength = 0; // no status bytes written
        }
        return STATUS_SUCCESS;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return XboxControllerPipeRequest(PdoData, Urb);
    default:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_URB,
                    "Quillex!HandleXusbPdoURB: URB Not handled 0x%x \n", function);
        if (IsVendorOrClassRequest(function) &&
            Urb->UrbHeader.Length >= sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) &&
            (Urb->UrbControlVendorClassRequest.TransferFlags & USBD_TRANSFER_DIRECTION_IN)) {
            Urb->UrbControlVendorClassRequest.TransferBufferLength = 0;
        }
        return STATUS_SUCCESS;
    }
}

} // namespace

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS
XboxControllerPrepareConfiguration(PXUSB_PDO_DEVICE_DATA PdoData) {
    PAGED_CODE();
    XUSB_CONFIGURATION* configuration = &PdoData->Configuration;
    RtlZeroMemory(configuration, sizeof(*configuration));
    // The library's routines take writable pointers; none of them writes.
    PUSB_CONFIGURATION_DESCRIPTOR config =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<UCHAR*>(XboxConfigDescriptor));
    PUCHAR offending = NULL;
    configuration->ValidationStatus = USBD_ValidateConfigurationDescriptor(
        config, sizeof(XboxConfigDescriptor), 2, &offending, kValidationPoolTag);
    if (!NT_SUCCESS(configuration->ValidationStatus)) {
        configuration->OffendingOffset =
            offending != NULL ? static_cast<ULONG>(offending - XboxConfigDescriptor) : 0;
        return configuration->ValidationStatus;
    }
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    if (interfaceDescriptor == NULL ||
        interfaceDescriptor->bNumEndpoints > RTL_NUMBER_OF(configuration->Endpoints)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    PUCHAR start = reinterpret_cast<PUCHAR>(interfaceDescriptor);
    for (ULONG i = 0; i < interfaceDescriptor->bNumEndpoints; ++i) {
        PUSB_ENDPOINT_DESCRIPTOR endpoint =
            reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(USBD_ParseDescriptors(
                config, config->wTotalLength, start, USB_ENDPOINT_DESCRIPTOR_TYPE));
        if (endpoint == NULL || endpoint->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            break; // select-configuration reports the missing endpoint
        }
        configuration->Endpoints[configuration->EndpointCount++] = endpoint;
        start = reinterpret_cast<PUCHAR>(endpoint) + endpoint->bLength;
    }
    configuration->Interface = interfaceDescriptor;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS XboxControllerGetTransferBuffer(PVOID TransferBuffer,
                                                                PMDL TransferBufferMDL,
                                                                ULONG TransferBufferLength,
                                                                PVOID* Buffer, PULONG Length) {
    *Buffer = NULL;
    *Length = 0;
    if (TransferBuffer != NULL) {
        *Buffer = TransferBuffer;
        *Length = TransferBufferLength;
        return STATUS_SUCCESS;
    }
    if (TransferBufferMDL == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PVOID mapped;
    if (TransferBufferMDL->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        mapped = TransferBufferMDL->MappedSystemVa;
    } else {
        mapped = MmMapLockedPagesSpecifyCache(TransferBufferMDL, KernelMode, MmCached, NULL, FALSE,
                                              NormalPagePriority);
    }
    if (mapped == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *Buffer = mapped;
    ULONG described = MmGetMdlByteCount(TransferBufferMDL);
    *Length = TransferBufferLength < described ? TransferBufferLength : described;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS HandleXusbPdoURB(WDFDEVICE Device, PIRP Irp) {
    if (Irp == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB, "Quillex!HandleXusbPdoURB: NULL Irp\n");
        return STATUS_INVALID_PARAMETER;
    }
    if (Device == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB, "Quillex!HandleXusbPdoURB: NULL Device\n");
        return STATUS_INVALID_PARAMETER;
    }
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
    if (urb == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB, "Quillex!HandleXusbPdoURB: NULL Irp\n");
        return STATUS_INVALID_PARAMETER;
    }
    PXUSB_PDO_DEVICE_DATA pdoData = XusbPdoGetData(Device);
    if (pdoData == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB, "Quillex!HandleXusbPdoURB: NULL Device\n");
        return STATUS_INVALID_PARAMETER;
    }
    USHORT function = urb->UrbHeader.Function;
    if (urb->UrbHeader.Length < RequiredUrbLength(function)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_URB,
                    "Quillex!HandleXusbPdoURB: URB of function 0x%x too short: %u bytes\n",
                    function, urb->UrbHeader.Length);
        XboxControllerSetUrbStatus(urb, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }

    // Not answered yet: a handler that has a USBD status of its own stores it
    // over this; otherwise the IRP's status decides it below. A transfer left
    // pending keeps it until it completes, and is not touched here again: it
    // may be completed, and its URB gone, by the time we return.
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    NTSTATUS status = DispatchUrb(pdoData, urb, Irp);
    if (status != STATUS_PENDING) {
        XboxControllerSetUrbStatus(urb, status);
    }
    return status;
}

_Use_decl_annotations_ USBD_STATUS XboxControllerUsbdStatus(NTSTATUS Status) {
    if (NT_SUCCESS(Status)) {
        return Status == STATUS_PENDING ? USBD_STATUS_PENDING : USBD_STATUS_SUCCESS;
    }
    switch (Status) {
    case STATUS_CANCELLED:
        return USBD_STATUS_CANCELED;
    case STATUS_BUFFER_TOO_SMALL:
        return USBD_STATUS_BUFFER_TOO_SMALL;
    case STATUS_DEVICE_DOES_NOT_EXIST:
    case STATUS_DEVICE_REMOVED:
    case STATUS_NO_SUCH_DEVICE:
        return USBD_STATUS_DEVICE_GONE;
    case STATUS_INSUFFICIENT_RESOURCES:
        return USBD_STATUS_INSUFFICIENT_RESOURCES;
    case STATUS_NOT_SUPPORTED:
    case STATUS_NOT_IMPLEMENTED:
        return USBD_STATUS_NOT_SUPPORTED;
    default:
        return USBD_STATUS_INVALID_PARAMETER; // a request the device refused as malformed
    }
}

_Use_decl_annotations_ VOID XboxControllerSetUrbStatus(PURB Urb, NTSTATUS Status) {
    if (Urb->UrbHeader.Length < sizeof(_URB_HEADER)) {
        return; // the sender's header does not reach the status field
    }
    if (Urb->UrbHeader.Status == USBD_STATUS_PENDING || !NT_SUCCESS(Status)) {
        Urb->UrbHeader.Status = XboxControllerUsbdStatus(Status);
    }
}

_Use_decl_annotations_ NTSTATUS XboxControllerGetDescriptorFromDevice(PXUSB_PDO_DEVICE_DATA PdoData,
                                                                      PURB Urb) {
    _URB_CONTROL_DESCRIPTOR_REQUEST* request = &Urb->UrbControlDescriptorRequest;
    NTSTATUS status;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                "Quillex!XboxControllerGetDescriptorFromDevice:  ++\n");
    // The answer depends on the type alone: index and language id do not matter.
    switch (request->DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        status = AnswerDeviceDescriptor(PdoData, Urb);
        break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        status =
            AnswerStaged(&PdoData->ConfigDescriptorState, ConfigDescriptorResponses,
                         RTL_NUMBER_OF(ConfigDescriptorResponses), "USB_CONFIGURATION_DESCRIPTOR",
                         request->TransferBuffer, request->TransferBufferMDL,
                         &request->TransferBufferLength, &Urb->UrbHeader.Status);
        break;
    case USB_STRING_DESCRIPTOR_TYPE:
        status = AnswerStaged(&PdoData->StringDescriptorState, StringDescriptorResponses,
                              RTL_NUMBER_OF(StringDescriptorResponses), "USB_STRING_DESCRIPTOR",
                              request->TransferBuffer, request->TransferBufferMDL,
                              &request->TransferBufferLength, &Urb->UrbHeader.Status);
        break;
    default:
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE State 0x%x\n",
                    request->DescriptorType);
        request->TransferBufferLength = 0;
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                "Quillex!XboxControllerGetDescriptorFromDevice:  -- %x\n", status);
    return status;
}

_Use_decl_annotations_ NTSTATUS XboxControllerSelectConfig(PXUSB_PDO_DEVICE_DATA PdoData,
                                                           PURB Urb) {
    _URB_SELECT_CONFIGURATION* request = &Urb->UrbSelectConfiguration;
    PUSBD_INTERFACE_INFORMATION info = &request->Interface;
    const XUSB_CONFIGURATION* configuration = &PdoData->Configuration;

    if (request->ConfigurationDescriptor == NULL) {
        // No descriptor: the device goes back to its unconfigured state. The
        // URB carries no interface to fill, and none is read.
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                    "Quillex!XboxControllerSelectConfig: unconfigured\n");
        return STATUS_SUCCESS;
    }
    request->ConfigurationHandle = XUSB_CONFIGURATION_HANDLE;
    // Served from what was parsed as the child was made: the USB library's
    // parsing is not allowed at the DISPATCH_LEVEL this may run at.
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
        InterlockedCompareExchange(&PdoData->ConfigurationDescribed, 0, 0) != 0
            ? configuration->Interface
            : NULL;
    if (interfaceDescriptor == NULL ||
        info->InterfaceNumber != interfaceDescriptor->bInterfaceNumber ||
        info->AlternateSetting != interfaceDescriptor->bAlternateSetting) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!XboxControllerSelectConfig: ERROR no matching "
                    "USB_INTERFACE_DESCRIPTOR found.\n");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (info->NumberOfPipes != interfaceDescriptor->bNumEndpoints) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!XboxControllerSelectConfig: ERROR unmatched number of pipes.\n");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // The pipes are written into the sender's URB: it must hold them all.
    ULONG needed = FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface) +
                   static_cast<ULONG>(GET_USBD_INTERFACE_SIZE(info->NumberOfPipes));
    if (Urb->UrbHeader.Length < needed) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!XboxControllerSelectConfig: ERROR URB of %u bytes has no room for "
                    "%u pipes.\n",
                    Urb->UrbHeader.Length, info->NumberOfPipes);
        return STATUS_INVALID_PARAMETER;
    }
    info->Class = interfaceDescriptor->bInterfaceClass;
    info->SubClass = interfaceDescriptor->bInterfaceSubClass;
    info->Protocol = interfaceDescriptor->bInterfaceProtocol;
    info->InterfaceHandle = XUSB_INTERFACE_HANDLE;

    PUSBD_PIPE_INFORMATION pipes = info->Pipes;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        if (i >= configuration->EndpointCount) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                        "Quillex!XboxControllerSelectConfig: ERROR USBD_ParseDescriptors failed "
                        "to retrieve Endpoint Descriptor\n");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        const USB_ENDPOINT_DESCRIPTOR* endpoint = configuration->Endpoints[i];
        XUSB_PIPE_HANDLE handle;
        handle.Value = 0;
        handle.EndpointAddress = endpoint->bEndpointAddress;
        handle.Interval = endpoint->bInterval;
        handle.TransferType = endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK;
        pipes[i].MaximumPacketSize = endpoint->wMaxPacketSize;
        pipes[i].EndpointAddress = endpoint->bEndpointAddress;
        pipes[i].Interval = endpoint->bInterval;
        pipes[i].PipeType = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & 3);
        pipes[i].PipeHandle = XUSB_PIPE_HANDLE_TO_URB(handle);
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS XboxControllerControlTransfer(PXUSB_PDO_DEVICE_DATA PdoData,
                                                              PURB Urb) {
    _URB_CONTROL_TRANSFER* request = &Urb->UrbControlTransfer;
    // Every control transfer with a destination consumes a stage, whatever it asks.
    if ((request->SetupPacket[0] & 0x60) == 0x40) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Vendor Packet\n");
        TraceBuffer(request->SetupPacket, sizeof(request->SetupPacket));
    }
    return AnswerStaged(&PdoData->VendorRequestState, VendorResponses,
                        RTL_NUMBER_OF(VendorResponses), "VENDOR CONTROL_TRANSFER",
                        request->TransferBuffer, request->TransferBufferMDL,
                        &request->TransferBufferLength, &Urb->UrbHeader.Status);
}

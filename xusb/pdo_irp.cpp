// The WDM requests the emulated controller answers itself: the internal USB
// requests of the class driver and the query for the USB bus interface.
// Neither is handed back to the framework: each is completed here or left
// pending on endpoint 1.
#include "platform/device_context.h"
#include "xusb/urb_dispatch.h"

namespace {

// The bus interface routines touch no device state: the interface can be
// used at any IRQL up to DISPATCH_LEVEL for as long as it is held.
VOID XboxControllerInterfaceReference(PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
}

VOID XboxControllerInterfaceDereference(PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
}

// An abort only gives transfers back: the class driver of a removed child
// still needs it to get its waiting transfers back before it leaves.
BOOLEAN IsAbortPipe(ULONG Code, PVOID Argument) {
    PURB urb = static_cast<PURB>(Argument);
    return Code == IOCTL_INTERNAL_USB_SUBMIT_URB && urb != NULL &&
           urb->UrbHeader.Length >= sizeof(_URB_HEADER) &&
           urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE;
}

// The bus interface's routines are reached only through the interface the
// class driver queried: none is known by name outside this file.
USB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
USB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
USB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
USB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
USB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;

VOID GetUSBDIVersion(PVOID BusContext, PUSBD_VERSION_INFORMATION VersionInformation,
                     PULONG HcdCapabilities) {
    UNREFERENCED_PARAMETER(BusContext);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Quillex!GetUSBDIVersion: ++ ");
    if (VersionInformation != NULL) {
        VersionInformation->USBDI_Version = 0x500;
        VersionInformation->Supported_USB_Version = 0x200;
    }
    if (HcdCapabilities != NULL) {
        *HcdCapabilities = 0;
    }
}

NTSTATUS QueryBusTime(PVOID BusContext, PULONG CurrentUsbFrame) {
    UNREFERENCED_PARAMETER(BusContext);
    UNREFERENCED_PARAMETER(CurrentUsbFrame);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Quillex!QueryBusTime:  Empty\n");
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS SubmitIsoOutUrb(PVOID BusContext, PURB Urb) {
    UNREFERENCED_PARAMETER(BusContext);
    UNREFERENCED_PARAMETER(Urb);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Quillex!SubmitIsoOutUrb:  Empty\n");
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS QueryBusInformation(PVOID BusContext, ULONG Level, PVOID BusInformationBuffer,
                             PULONG BusInformationBufferLength, PULONG BusInformationActualLength) {
    UNREFERENCED_PARAMETER(BusContext);
    UNREFERENCED_PARAMETER(Level);
    UNREFERENCED_PARAMETER(BusInformationBuffer);
    UNREFERENCED_PARAMETER(BusInformationBufferLength);
    UNREFERENCED_PARAMETER(BusInformationActualLength);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Quillex!QueryBusInformation:  Empty\n");
    return STATUS_NOT_IMPLEMENTED;
}

BOOLEAN IsDeviceHighSpeed(PVOID BusContext) {
    UNREFERENCED_PARAMETER(BusContext);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                "Quillex!IsDeviceHighSpeed: Xbox controller is not High Speed\n");
    return FALSE;
}

} // namespace

_Use_decl_annotations_ NTSTATUS HandleXusbPdoInternalIrp(WDFDEVICE Device, PIRP Irp) {
    if (Irp == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!HandleXusbPdoInternalIrp: NULL Irp\n");
        return STATUS_INVALID_PARAMETER;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!HandleXusbPdoInternalIrp: NULL Irp Stack\n");
        return STATUS_INVALID_PARAMETER;
    }
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PVOID argument = stack->Parameters.Others.Argument1; // the URB, or the port status to fill
    PXUSB_PDO_DEVICE_DATA pdoData = Device != NULL ? XusbPdoGetData(Device) : NULL;
    NTSTATUS status;
    BOOLEAN dispatched = FALSE;

    Irp->IoStatus.Information = 0; // also for a transfer completed later from endpoint 1
    if (code != IOCTL_INTERNAL_USB_RESET_PORT && argument == NULL) {
        // Refused, but completed: a request returned without completion
        // would never come back to its sender.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!HandleXusbPdoInternalIrp: NULL Urb from Irp\n");
        status = STATUS_INVALID_PARAMETER;
    } else if (pdoData == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else if (QuillexReadFlag(&pdoData->bRemoved) && !IsAbortPipe(code, argument)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!HandleXusbPdoInternalIrp: Error - PDO has been Removed\n");
        status = STATUS_DEVICE_DOES_NOT_EXIST;
    } else {
        switch (code) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            status = HandleXusbPdoURB(Device, Irp); // which answers the URB's own status
            dispatched = TRUE;
            break;
        case IOCTL_INTERNAL_USB_RESET_PORT:
            TraceEvents(
                TRACE_LEVEL_ERROR, TRACE_DRIVER,
                "Quillex!HandleXusbPdoInternalIrp: IOCTL_INTERNAL_USB_RESET_PORT (*****)\n");
            status = STATUS_SUCCESS;
            break;
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
            *static_cast<PULONG>(argument) = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
            status = STATUS_SUCCESS;
            break;
        default:
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "Ioctrl code %x not handled.\n", code);
            status = STATUS_INVALID_PARAMETER;
            break;
        }
    }
    // A pending transfer belongs to endpoint 1 from the moment it was queued.
    if (status != STATUS_PENDING) {
        if (code == IOCTL_INTERNAL_USB_SUBMIT_URB && argument != NULL && !dispatched) {
            // A URB refused before dispatch says why, as the USB stack's would.
            XboxControllerSetUrbStatus(static_cast<PURB>(argument), status);
        }
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    return status;
}

_Use_decl_annotations_ NTSTATUS HandleXusbPdoPnPIrp(WDFDEVICE Device, PIRP Irp) {
    if (Irp == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                "Quillex!HandleXusbPdoPnPIrp: IRP_MJ_PNP, MinorFunction:%x\n",
                stack->MinorFunction);
    // Only query-interface is routed here; anything else keeps the status it
    // came with, as a bus driver leaves requests it does not handle.
    NTSTATUS status = stack->MinorFunction == IRP_MN_QUERY_INTERFACE
                          ? HandleQueryInterfaceIrp(Device, Irp)
                          : Irp->IoStatus.Status;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

_Use_decl_annotations_ NTSTATUS HandleQueryInterfaceIrp(WDFDEVICE Device, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const GUID* type = stack->Parameters.QueryInterface.InterfaceType;
    if (type == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "Unknown interface GUID\n");
        return Irp->IoStatus.Status;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                "Quillex!HandleQueryInterfaceIrp: Query InterfaceType GUID: "
                "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x\n",
                type->Data1, type->Data2, type->Data3, type->Data4[0], type->Data4[1],
                type->Data4[2], type->Data4[3], type->Data4[4], type->Data4[5], type->Data4[6],
                type->Data4[7]);
    if (!IsEqualGUID(*type, USB_BUS_INTERFACE_USBDI_GUID)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "Unknown interface GUID\n");
        return Irp->IoStatus.Status; // someone else's interface: the sender's status stands
    }
    if (stack->Parameters.QueryInterface.Version > USB_BUSIF_USBDI_VERSION_1) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Interface version not supported: %u",
                    stack->Parameters.QueryInterface.Version);
        return STATUS_INVALID_PARAMETER;
    }
    USHORT size = stack->Parameters.QueryInterface.Version == USB_BUSIF_USBDI_VERSION_0
                      ? sizeof(USB_BUS_INTERFACE_USBDI_V0)
                      : sizeof(USB_BUS_INTERFACE_USBDI_V1);
    if (stack->Parameters.QueryInterface.Size < size) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "Size of interface too small %d",
                    stack->Parameters.QueryInterface.Version);
        return STATUS_INVALID_PARAMETER;
    }
    if (stack->Parameters.QueryInterface.Interface == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    // Version 0 is the prefix of version 1: a version 0 caller's record ends
    // before IsDeviceHighSpeed, which is written only for version 1.
    PUSB_BUS_INTERFACE_USBDI_V1 busInterface =
        reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(stack->Parameters.QueryInterface.Interface);
    busInterface->Size = size;
    busInterface->Version = stack->Parameters.QueryInterface.Version;
    busInterface->BusContext = Device;
    busInterface->InterfaceReference = XboxControllerInterfaceReference;
    busInterface->InterfaceDereference = XboxControllerInterfaceDereference;
    busInterface->GetUSBDIVersion = GetUSBDIVersion;
    busInterface->QueryBusTime = QueryBusTime;
    busInterface->SubmitIsoOutUrb = SubmitIsoOutUrb;
    busInterface->QueryBusInformation = QueryBusInformation;
    if (stack->Parameters.QueryInterface.Version == USB_BUSIF_USBDI_VERSION_1) {
        busInterface->IsDeviceHighSpeed = IsDeviceHighSpeed;
    }
    // The provider takes the first reference on the interface it hands out;
    // the receiver drops it with InterfaceDereference when done.
    busInterface->InterfaceReference(busInterface->BusContext);
    return STATUS_SUCCESS;
}

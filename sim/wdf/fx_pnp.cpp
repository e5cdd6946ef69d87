// PnP handling of framework devices: start (prepare hardware, enter D0,
// enable interfaces), query-stop and stop, surprise removal, query-remove and
// removal.
#include "sim/core/verifier.h"
#include "sim/wdf/io_target.h"

namespace sim::wdf {
namespace {

IO_COMPLETION_ROUTINE SignalLowerDone;
NTSTATUS SignalLowerDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

// Sends the IRP down and waits for the lower drivers to finish with it; the
// IRP is this device's again afterwards.
NTSTATUS ForwardAndWait(Device* device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalLowerDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

namespace {

NTSTATUS Forward(Device* device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->lower, irp);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

WDFCMRESLIST ListHandle(Object* list) {
    return list->HandleAs<WDFCMRESLIST>();
}

void DropResourceLists(Device* device) {
    for (Object** list : {&device->rawResources, &device->translatedResources}) {
        // A list already being deleted goes with the device's own deletion.
        if (*list != nullptr && !(*list)->Disposed()) {
            Delete(*list, "resource list release");
        }
        *list = nullptr;
    }
}

} // namespace

// Leaves D0 and releases the hardware, each only if it was reached.
void PowerDownAndRelease(Device* device) {
    WDFDEVICE handle = device->HandleAs<WDFDEVICE>();
    const WDF_PNPPOWER_EVENT_CALLBACKS& pnp = device->pnp;
    if (device->inD0) {
        if (device->selfManagedIo && pnp.EvtDeviceSelfManagedIoSuspend != nullptr) {
            pnp.EvtDeviceSelfManagedIoSuspend(handle);
        }
        if (pnp.EvtDeviceD0ExitPreInterruptsDisabled != nullptr) {
            pnp.EvtDeviceD0ExitPreInterruptsDisabled(handle, WdfPowerDeviceD3Final);
        }
        if (pnp.EvtDeviceD0Exit != nullptr) {
            pnp.EvtDeviceD0Exit(handle, WdfPowerDeviceD3Final);
        }
        device->inD0 = false;
    }
    if (device->hardwarePrepared) {
        device->hardwarePrepared = false;
        if (pnp.EvtDeviceReleaseHardware != nullptr) {
            pnp.EvtDeviceReleaseHardware(handle, ListHandle(device->translatedResources));
        }
    }
    DropResourceLists(device);
}

void EndSelfManagedIo(Device* device) {
    if (!device->selfManagedIo) {
        return;
    }
    WDFDEVICE handle = device->HandleAs<WDFDEVICE>();
    if (device->pnp.EvtDeviceSelfManagedIoFlush != nullptr) {
        device->pnp.EvtDeviceSelfManagedIoFlush(handle);
    }
    if (device->pnp.EvtDeviceSelfManagedIoCleanup != nullptr) {
        device->pnp.EvtDeviceSelfManagedIoCleanup(handle);
    }
    device->selfManagedIo = false;
}

// Prepare hardware, enter D0, start self-managed I/O. A failing step undoes
// what was done (release hardware runs after a failed prepare too).
NTSTATUS BringUp(Device* device) {
    WDFDEVICE handle = device->HandleAs<WDFDEVICE>();
    const WDF_PNPPOWER_EVENT_CALLBACKS& pnp = device->pnp;
    for (Object** list : {&device->rawResources, &device->translatedResources}) {
        *list = new Object(Kind::CmResList);
        Attach(*list, nullptr, device, "IRP_MN_START_DEVICE");
    }
    device->hardwarePrepared = true;
    NTSTATUS status = STATUS_SUCCESS;
    if (pnp.EvtDevicePrepareHardware != nullptr) {
        status = pnp.EvtDevicePrepareHardware(handle, ListHandle(device->rawResources),
                                              ListHandle(device->translatedResources));
    }
    if (NT_SUCCESS(status) && pnp.EvtDeviceD0Entry != nullptr) {
        status = pnp.EvtDeviceD0Entry(handle, WdfPowerDeviceD3Final);
    }
    if (NT_SUCCESS(status)) {
        device->inD0 = true;
        if (pnp.EvtDeviceD0EntryPostInterruptsEnabled != nullptr) {
            status = pnp.EvtDeviceD0EntryPostInterruptsEnabled(handle, WdfPowerDeviceD3Final);
        }
    }
    // Self-managed I/O survives a stop: it was suspended, so it restarts.
    if (NT_SUCCESS(status)) {
        if (device->selfManagedIo) {
            if (pnp.EvtDeviceSelfManagedIoRestart != nullptr) {
                status = pnp.EvtDeviceSelfManagedIoRestart(handle);
            }
        } else if (pnp.EvtDeviceSelfManagedIoInit != nullptr) {
            status = pnp.EvtDeviceSelfManagedIoInit(handle);
        }
    }
    if (!NT_SUCCESS(status)) {
        PowerDownAndRelease(device);
        return status;
    }
    device->selfManagedIo = true;
    return STATUS_SUCCESS;
}

namespace {

// Whether the device answers for its bus: it has (or had, and they went
// missing) static children. A driver thread may add a child while the PnP
// manager asks.
bool HasHadStaticChildren(Device* device) {
    std::lock_guard<std::mutex> guard(device->lock);
    return device->hasHadStaticChildren;
}

NTSTATUS StartDevice(Device* device, PIRP irp) {
    NTSTATUS status = ForwardAndWait(device, irp);
    if (NT_SUCCESS(status)) {
        status = BringUp(device);
    }
    device->state = NT_SUCCESS(status) ? PnpState::Started : PnpState::StartFailed;
    if (NT_SUCCESS(status)) {
        SetInterfacesState(device, true);
        // Children added before the start, or gone missing while stopped,
        // are reported now.
        if (HasHadStaticChildren(device)) {
            IoInvalidateDeviceRelations(device->pdo, BusRelations);
        }
    }
    return Complete(irp, status);
}

// A stop (for a restart): D0 left and the hardware released; the device and
// its interfaces stay, and the next IRP_MN_START_DEVICE prepares it again.
NTSTATUS StopDevice(Device* device, PIRP irp) {
    PowerDownAndRelease(device);
    device->state = PnpState::Stopped;
    irp->IoStatus.Status = STATUS_SUCCESS;
    return Forward(device, irp);
}

NTSTATUS SurpriseRemove(Device* device, PIRP irp) {
    SetInterfacesState(device, false);
    if (device->pnp.EvtDeviceSurpriseRemoval != nullptr) {
        device->pnp.EvtDeviceSurpriseRemoval(device->HandleAs<WDFDEVICE>());
    }
    PowerDownAndRelease(device);
    device->state = PnpState::SurpriseRemoved;
    return Forward(device, irp);
}

// The device leaves for good: hardware released, I/O drained, the remove
// passed down, the device detached and deleted with everything it owns.
NTSTATUS RemoveDevice(Device* device, PIRP irp) {
    const char* api = "IRP_MN_REMOVE_DEVICE";
    if (device->state != PnpState::SurpriseRemoved) {
        SetInterfacesState(device, false);
    }
    PowerDownAndRelease(device);
    EndSelfManagedIo(device);
    device->defaultTarget->Purge(api);
    device->WaitForRequests(api);
    device->state = PnpState::Removed;

    PDEVICE_OBJECT lower = device->lower;
    PDEVICE_OBJECT wdm = device->wdm;
    NTSTATUS status = Forward(device, irp);
    IoDetachDevice(lower);
    Delete(device, api);
    IoDeleteDevice(wdm);
    return status;
}

} // namespace

NTSTATUS DispatchPnp(Device* device, PIRP irp) {
    if (device->isPdo) {
        return DispatchChildPnp(device, irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(device, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations &&
            HasHadStaticChildren(device)) {
            return QueryBusRelations(device, irp);
        }
        return Forward(device, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (device->pnp.EvtDeviceQueryRemove != nullptr) {
            NTSTATUS status = device->pnp.EvtDeviceQueryRemove(device->HandleAs<WDFDEVICE>());
            if (!NT_SUCCESS(status)) {
                return Complete(irp, status);
            }
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return Forward(device, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (device->pnp.EvtDeviceQueryStop != nullptr) {
            NTSTATUS status = device->pnp.EvtDeviceQueryStop(device->HandleAs<WDFDEVICE>());
            if (!NT_SUCCESS(status)) {
                return Complete(irp, status);
            }
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return Forward(device, irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return Forward(device, irp);
    case IRP_MN_STOP_DEVICE:
        return StopDevice(device, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemove(device, irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(device, irp);
    default:
        return Forward(device, irp);
    }
}

} // namespace sim::wdf

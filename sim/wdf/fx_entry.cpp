// The framework's WDM entry points in a driver it manages: AddDevice, the
// dispatch routine behind every major function, and unload.
#include "sim/core/verifier.h"
#include "sim/kernel/irql_check.h"
#include "sim/wdf/file_object.h"
#include "sim/wdf/queue.h"
#include "sim/wdf/request.h"

namespace sim::wdf {
namespace {

NTSTATUS Forward(Device* device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->lower, irp);
}

NTSTATUS CompleteHere(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool WantsFileObjects(const Device* device) {
    return device->hasFileConfig && (device->fileConfig.FileObjectClass &
                                     ~WdfFileObjectCanBeOptional) != WdfFileObjectNotRequired;
}

// Cleanup and close go down the stack for a filter unless the driver said
// otherwise, and stop here for a function driver unless it asked for them.
bool ForwardsCleanupClose(const Device* device) {
    WDF_TRI_STATE forward =
        device->hasFileConfig ? device->fileConfig.AutoForwardCleanupClose : WdfUseDefault;
    return forward == WdfTrue || (forward == WdfUseDefault && device->filter);
}

IO_COMPLETION_ROUTINE ForwardedCreateDone;
NTSTATUS ForwardedCreateDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    auto* file = static_cast<FileObject*>(context);
    if (file != nullptr && !NT_SUCCESS(irp->IoStatus.Status)) {
        DeleteFileObject(file);
    }
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS DispatchCreate(Device* device, PIRP irp) {
    FileObject* file = nullptr;
    if (WantsFileObjects(device)) {
        NTSTATUS status =
            CreateFileObject(device, IoGetCurrentIrpStackLocation(irp)->FileObject, &file);
        if (!NT_SUCCESS(status)) {
            return CompleteHere(irp, status);
        }
    }
    if (device->hasFileConfig && device->fileConfig.EvtDeviceFileCreate != nullptr) {
        Request* request = PresentRequest(device, nullptr, irp);
        request->createdFile = file;
        device->fileConfig.EvtDeviceFileCreate(
            device->HandleAs<WDFDEVICE>(), request->HandleAs<WDFREQUEST>(),
            file != nullptr ? file->HandleAs<WDFFILEOBJECT>() : nullptr);
        return STATUS_PENDING;
    }
    if (device->filter) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, ForwardedCreateDone, file, TRUE, TRUE, TRUE);
        return IoCallDriver(device->lower, irp);
    }
    return CompleteHere(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchCleanupClose(Device* device, PIRP irp, bool close) {
    FileObject* file = FindFileObject(device, IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (file != nullptr && device->hasFileConfig) {
        PFN_WDF_FILE_CLEANUP callback =
            close ? device->fileConfig.EvtFileClose : device->fileConfig.EvtFileCleanup;
        if (callback != nullptr) {
            callback(file->HandleAs<WDFFILEOBJECT>());
        }
    }
    if (close && file != nullptr) {
        DeleteFileObject(file);
    }
    return ForwardsCleanupClose(device) ? Forward(device, irp) : CompleteHere(irp, STATUS_SUCCESS);
}

NTSTATUS FrameworkDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
    Device* device = DeviceOfWdm(deviceObject);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    switch (major) {
    case IRP_MJ_PNP:
        return DispatchPnp(device, irp);
    case IRP_MJ_POWER:
        return Forward(device, irp);
    case IRP_MJ_CREATE:
        return DispatchCreate(device, irp);
    case IRP_MJ_CLEANUP:
        return DispatchCleanupClose(device, irp, false);
    case IRP_MJ_CLOSE:
        return DispatchCleanupClose(device, irp, true);
    default:
        break;
    }
    Queue* queue = device->defaultQueue;
    if (queue != nullptr && queue->Handles(major)) {
        return queue->Present(irp);
    }
    // Request types the driver has no handler for: a filter passes them
    // down untouched, a function driver refuses them.
    if (device->filter) {
        return Forward(device, irp);
    }
    return CompleteHere(irp, STATUS_INVALID_DEVICE_REQUEST);
}

// Undoes a device that device add made before it failed, as the framework does.
void DiscardDevice(Device* device) {
    PDEVICE_OBJECT wdm = device->wdm;
    IoDetachDevice(device->lower);
    Delete(device, "EvtDriverDeviceAdd failure");
    IoDeleteDevice(wdm);
}

DRIVER_ADD_DEVICE FrameworkAddDevice;
NTSTATUS FrameworkAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
    kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "AddDevice");
    Driver* driver = CurrentDriver();
    if (driver == nullptr || driver->wdmDriver != driverObject ||
        driver->config.EvtDriverDeviceAdd == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE_INIT init;
    init.driver = driver;
    init.pdo = pdo;
    NTSTATUS status = driver->config.EvtDriverDeviceAdd(driver->HandleAs<WDFDRIVER>(), &init);
    Device* device = init.created;
    if (device != nullptr) {
        if (NT_SUCCESS(status)) {
            device->wdm->Flags &= ~DO_DEVICE_INITIALIZING;
        } else {
            DiscardDevice(device);
        }
    }
    return status;
}

DRIVER_UNLOAD FrameworkUnload;
VOID FrameworkUnload(PDRIVER_OBJECT driverObject) {
    UNREFERENCED_PARAMETER(driverObject);
    UnloadDriver();
}

} // namespace

void InstallFrameworkEntryPoints(PDRIVER_OBJECT driver) {
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
        dispatch = FrameworkDispatch;
    }
    driver->DriverUnload = FrameworkUnload;
    if (driver->DriverExtension != nullptr) {
        driver->DriverExtension->AddDevice = FrameworkAddDevice;
    }
}

} // namespace sim::wdf

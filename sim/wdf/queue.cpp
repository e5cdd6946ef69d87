// Framework I/O queues: creation, and presenting requests to their handlers.
#include "sim/wdf/queue.h"

#include "sim/core/fault.h"
#include "sim/core/verifier.h"
#include "sim/kernel/irql_check.h"
#include "sim/wdf/request.h"

namespace sim::wdf {

bool Queue::Handles(UCHAR major) const {
    switch (major) {
    case IRP_MJ_READ:
        return config.EvtIoRead != nullptr || config.EvtIoDefault != nullptr;
    case IRP_MJ_WRITE:
        return config.EvtIoWrite != nullptr || config.EvtIoDefault != nullptr;
    case IRP_MJ_DEVICE_CONTROL:
        return config.EvtIoDeviceControl != nullptr || config.EvtIoDefault != nullptr;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return config.EvtIoInternalDeviceControl != nullptr || config.EvtIoDefault != nullptr;
    default:
        return false; // only these four kinds of request are ever queued
    }
}

NTSTATUS Queue::Present(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = stack->MajorFunction;
    bool transfer = major == IRP_MJ_READ || major == IRP_MJ_WRITE;
    ULONG length =
        major == IRP_MJ_READ ? stack->Parameters.Read.Length : stack->Parameters.Write.Length;
    if (transfer && length == 0 && !config.AllowZeroLengthRequests) {
        // The framework completes empty reads and writes itself.
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    Request* request = PresentRequest(device, this, irp);
    WDFQUEUE queue = HandleAs<WDFQUEUE>();
    WDFREQUEST handle = request->HandleAs<WDFREQUEST>();
    const auto& io = stack->Parameters.DeviceIoControl;
    switch (major) {
    case IRP_MJ_READ:
        if (config.EvtIoRead != nullptr) {
            config.EvtIoRead(queue, handle, length);
            return STATUS_PENDING;
        }
        break;
    case IRP_MJ_WRITE:
        if (config.EvtIoWrite != nullptr) {
            config.EvtIoWrite(queue, handle, length);
            return STATUS_PENDING;
        }
        break;
    case IRP_MJ_DEVICE_CONTROL:
        if (config.EvtIoDeviceControl != nullptr) {
            config.EvtIoDeviceControl(queue, handle, io.OutputBufferLength, io.InputBufferLength,
                                      io.IoControlCode);
            return STATUS_PENDING;
        }
        break;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (config.EvtIoInternalDeviceControl != nullptr) {
            config.EvtIoInternalDeviceControl(queue, handle, io.OutputBufferLength,
                                              io.InputBufferLength, io.IoControlCode);
            return STATUS_PENDING;
        }
        break;
    default:
        break;
    }
    config.EvtIoDefault(queue, handle);
    return STATUS_PENDING;
}

void Queue::OnCleanup() {
    if (device != nullptr && device->defaultQueue == this) {
        device->defaultQueue = nullptr;
    }
}

} // namespace sim::wdf

using namespace sim::wdf;

extern "C" {

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                          PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfIoQueueCreate");
    auto* device = LookupAs<sim::wdf::Device>(Device, Kind::Device, "WdfIoQueueCreate");
    if (Queue != nullptr) {
        *Queue = nullptr;
    }
    if (Config == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfIoQueueCreate", &status)) {
        return status;
    }
    if (Config->DispatchType <= WdfIoQueueDispatchInvalid ||
        Config->DispatchType >= WdfIoQueueDispatchMax) {
        return STATUS_INVALID_PARAMETER;
    }
    // Only a parallel queue that is not power-managed is modelled: requests go
    // to their handler at once (a filter's queue is not power-managed unless
    // asked). Sequential, manual and power-managed queues are refused rather
    // than run with the wrong semantics.
    bool powerManaged = Config->PowerManaged == WdfTrue ||
                        (Config->PowerManaged == WdfUseDefault && !device->filter);
    if (Config->DispatchType != WdfIoQueueDispatchParallel || powerManaged) {
        return STATUS_NOT_SUPPORTED;
    }
    if (Config->DefaultQueue && device->defaultQueue != nullptr) {
        return STATUS_UNSUCCESSFUL; // a device has one default queue
    }
    auto* queue = new sim::wdf::Queue();
    queue->device = device;
    queue->config = *Config;
    status = Attach(queue, QueueAttributes, device, "WdfIoQueueCreate");
    if (!NT_SUCCESS(status)) {
        delete queue;
        return status;
    }
    if (Config->DefaultQueue) {
        device->defaultQueue = queue;
    }
    if (Queue != nullptr) {
        *Queue = queue->HandleAs<WDFQUEUE>();
    }
    return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue) {
    return LookupAs<sim::wdf::Queue>(Queue, Kind::Queue, "WdfIoQueueGetDevice")
        ->device->HandleAs<WDFDEVICE>();
}

} // extern "C"

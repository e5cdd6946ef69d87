#include "sim/peers/wdm/send.h"

#include <stdio.h>
#include <stdlib.h>

#include <condition_variable>
#include <mutex>

#include "usbioctl.h"

namespace sim::peers {
namespace {

struct Waiter {
    std::mutex lock;
    std::condition_variable done;
    bool completed = false;
};

IO_COMPLETION_ROUTINE Back;
NTSTATUS Back(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    auto* waiter = static_cast<Waiter*>(context);
    // Signalled under the waiter's lock: it cannot go away before we let go.
    std::lock_guard<std::mutex> guard(waiter->lock);
    waiter->completed = true;
    waiter->done.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

void FormatUrbSubmission(PIRP irp, PURB urb) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT lower, PIRP irp, KIRQL irql, const char* who) {
    Waiter waiter;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    UCHAR major = next->MajorFunction;
    UCHAR minor = next->MinorFunction;
    IoSetCompletionRoutine(irp, Back, &waiter, TRUE, TRUE, TRUE);
    KIRQL old = KeGetCurrentIrql();
    bool raise = irql > old;
    if (raise) {
        KeRaiseIrql(irql, &old);
    }
    IoCallDriver(lower, irp);
    if (raise) {
        KeLowerIrql(old);
    }
    std::unique_lock<std::mutex> guard(waiter.lock);
    if (!waiter.done.wait_for(guard, kRequestLimit, [&] { return waiter.completed; })) {
        fprintf(stderr,
                "%s: the device below kept a request (major 0x%02X, minor 0x%02X) for %lld s\n",
                who, major, minor, static_cast<long long>(kRequestLimit.count()));
        abort();
    }
    return irp->IoStatus.Status;
}

} // namespace sim::peers

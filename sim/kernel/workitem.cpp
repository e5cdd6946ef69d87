// I/O work items: a routine queued from any IRQL up to DISPATCH_LEVEL runs
// later at PASSIVE_LEVEL on a system worker thread. The device object is
// referenced while the item is queued, so it outlives the routine.
#include <atomic>

#include "sim/core/fault.h"
#include "sim/core/verifier.h"
#include "sim/kernel/irql_check.h"
#include "sim/kernel/system_worker.h"
#include "ntddk.h"

struct _IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
    std::atomic<bool> Queued; // until its routine starts
};

namespace {

constexpr ULONG kWorkItemPoolTag = 'kroW';

} // namespace

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (DeviceObject == nullptr) {
        sim::VerifierStop(sim::rule::kInvalidHandle, "IoAllocateWorkItem", "no device object");
    }
    if (sim::fault::ShouldFail("IoAllocateWorkItem", nullptr)) {
        return nullptr;
    }
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemPoolTag);
    if (memory == nullptr) {
        return nullptr;
    }
    auto* item = new (memory) _IO_WORKITEM;
    item->DeviceObject = DeviceObject;
    item->Queued = false;
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
    if (IoWorkItem->Queued.load()) {
        sim::VerifierStop(sim::rule::kWorkItemFreedWhileQueued, "IoFreeWorkItem",
                          "work item %p is still queued", static_cast<void*>(IoWorkItem));
    }
    IoWorkItem->~_IO_WORKITEM();
    ExFreePoolWithTag(IoWorkItem, kWorkItemPoolTag);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
    UNREFERENCED_PARAMETER(QueueType);
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    if (IoWorkItem->Queued.exchange(true)) {
        sim::VerifierStop(sim::rule::kWorkItemQueuedTwice, "IoQueueWorkItem",
                          "work item %p is already queued", static_cast<void*>(IoWorkItem));
    }
    PDEVICE_OBJECT device = IoWorkItem->DeviceObject;
    InterlockedIncrement(&device->ReferenceCount);
    sim::kernel::QueueSystemWork(
        [IoWorkItem, WorkerRoutine, Context, device] {
            // From here on the routine may queue the item again or free it,
            // so the item is not touched after the routine returns.
            IoWorkItem->Queued = false;
            WorkerRoutine(device, Context);
            InterlockedDecrement(&device->ReferenceCount);
        },
        "IoQueueWorkItem routine");
}

} // extern "C"

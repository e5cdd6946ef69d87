// IRPs: allocation, the call down a device stack, completion back up through
// the completion routines, and cancellation with the cancel spin lock.
#include "sim/kernel/irp.h"

#include <stdlib.h>

#include <map>
#include <mutex>
#include <set>

#include "sim/core/fault.h"
#include "sim/core/verifier.h"

namespace sim::io {
namespace {

std::mutex g_lock;
std::set<PIRP> g_live;
std::map<PIRP, std::function<void(PIRP)>> g_finalCompletion;
KSPIN_LOCK g_cancelSpinLock = 0;
// Marks IRPs from the I/O manager's reserve, which are not pool blocks.
constexpr UCHAR kMustSucceedIrp = 0x80;

void CheckLive(PIRP irp, const char* api) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (irp == nullptr || g_live.count(irp) == 0) {
        VerifierStop(rule::kIrpNotLive, api, "IRP %p", static_cast<void*>(irp));
    }
}

PIO_STACK_LOCATION StackBase(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}

void ResetStack(PIRP irp) {
    irp->CurrentLocation = static_cast<CHAR>(irp->StackCount + 1);
    irp->Tail.Overlay.CurrentStackLocation = StackBase(irp) + irp->StackCount;
}

} // namespace

void SetFinalCompletion(PIRP irp, std::function<void(PIRP)> done) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_finalCompletion[irp] = std::move(done);
}

bool IsCompleted(PIRP irp) {
    return irp->CurrentLocation > irp->StackCount;
}

PIRP AllocateIrpMustSucceed(CCHAR stackSize) {
    size_t size = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto irp = static_cast<PIRP>(calloc(1, size));
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = stackSize;
    irp->AllocationFlags = kMustSucceedIrp;
    ResetStack(irp);
    InitializeListHead(&irp->ThreadListEntry);
    std::lock_guard<std::mutex> guard(g_lock);
    g_live.insert(irp);
    return irp;
}

} // namespace sim::io

using namespace sim::io;

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (sim::fault::ShouldFail("IoAllocateIrp", nullptr)) {
        return nullptr;
    }
    if (StackSize < 1) {
        StackSize = 1;
    }
    size_t size = sizeof(IRP) + static_cast<size_t>(StackSize) * sizeof(IO_STACK_LOCATION);
    auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, ' prI'));
    if (irp == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(irp, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = StackSize;
    ResetStack(irp);
    InitializeListHead(&irp->ThreadListEntry);
    std::lock_guard<std::mutex> guard(g_lock);
    g_live.insert(irp);
    return irp;
}

VOID IoFreeIrp(PIRP Irp) {
    CheckLive(Irp, "IoFreeIrp");
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_live.erase(Irp);
        g_finalCompletion.erase(Irp);
    }
    if (Irp->AllocationFlags == kMustSucceedIrp) {
        free(Irp);
        return;
    }
    ExFreePoolWithTag(Irp, ' prI');
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    CheckLive(Irp, "IoReuseIrp");
    CHAR stackCount = Irp->StackCount;
    USHORT size = Irp->Size;
    RtlZeroMemory(Irp, size);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = size;
    Irp->StackCount = stackCount;
    Irp->IoStatus.Status = Iostatus;
    ResetStack(Irp);
    InitializeListHead(&Irp->ThreadListEntry);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CheckLive(Irp, "IoCallDriver");
    if (Irp->CurrentLocation <= 1) {
        sim::VerifierStop(sim::rule::kIrpStackOverflow, "IoCallDriver",
                          "IRP %p sent to device %p with all %d stack locations used",
                          static_cast<void*>(Irp), static_cast<void*>(DeviceObject),
                          Irp->StackCount);
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    if (dispatch == nullptr) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return dispatch(DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    CheckLive(Irp, "IoCompleteRequest");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::VerifierStop(sim::rule::kIrqlTooHigh, "IoCompleteRequest", "called at IRQL %u",
                          KeGetCurrentIrql());
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        sim::VerifierStop(sim::rule::kIrpCompletedTwice, "IoCompleteRequest",
                          "IRP %p was already completed (status 0x%08x)", static_cast<void*>(Irp),
                          static_cast<unsigned>(Irp->IoStatus.Status));
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        sim::VerifierStop(sim::rule::kIrpCompletedPending, "IoCompleteRequest", "IRP %p",
                          static_cast<void*>(Irp));
    }
    if (Irp->CancelRoutine != nullptr) {
        sim::VerifierStop(sim::rule::kIrpCompletedWithCancelRoutine, "IoCompleteRequest",
                          "IRP %p still has cancel routine %p", static_cast<void*>(Irp),
                          reinterpret_cast<void*>(Irp->CancelRoutine));
    }

    // Walk up the stack: each location's completion routine belongs to the
    // driver above it, and runs with that driver's device object.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;

        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        PDEVICE_OBJECT upper = Irp->CurrentLocation <= Irp->StackCount
                                   ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                   : nullptr;

        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke =
            routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            if (routine(upper, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    std::function<void(PIRP)> done;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_finalCompletion.find(Irp);
        if (it != g_finalCompletion.end()) {
            done = std::move(it->second);
            g_finalCompletion.erase(it);
        }
    }
    if (Irp->UserIosb != nullptr) {
        *Irp->UserIosb = Irp->IoStatus;
    }
    if (Irp->UserEvent != nullptr) {
        KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);
    }
    if (done) {
        done(Irp);
    }
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancelSpinLock);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&g_cancelSpinLock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    CheckLive(Irp, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    // The system takes the routine out of the IRP before it calls it; a driver
    // that cleared it first keeps the IRP.
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    // The cancel routine releases the cancel spin lock.
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

} // extern "C"

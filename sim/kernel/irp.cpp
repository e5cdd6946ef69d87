// IRPs: allocation, the call down a device stack, completion back up through
// the completion routines, and cancellation with the cancel spin lock.
#include "sim/kernel/irp.h"

#include <stdlib.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "sim/core/fault.h"
#include "sim/core/race.h"
#include "sim/core/verifier.h"
#include "sim/kernel/mdl_mapping.h"
#include "sim/kernel/thread_state.h"

namespace sim::io {
namespace {

// One call of a dispatch routine (or the preprocess routine it hands the IRP
// to) for one IRP, from IoCallDriver until the routine returns: what the
// routine did to the IRP's stack location meanwhile decides what it may return.
struct DispatchFrame {
    PIRP irp;
    CHAR location;
    bool markedPending = false;
    // The routine passed the IRP down and the driver below returned
    // STATUS_PENDING: the routine may return that, its completion routine (or
    // the I/O manager) marks its location once the IRP completes.
    bool lowerReturnedPending = false;
    bool completed = false;
    NTSTATUS completedWith = STATUS_SUCCESS;
    bool irpFreed = false;
};

struct IrpState {
    // Set while IofCompleteRequest walks the stack outside a completion
    // routine: a second completion meanwhile comes from another thread.
    bool completing = false;
    // Completions begun; one that begins while a completion routine runs that
    // then lets the first completion go on completes the IRP twice.
    unsigned long completions = 0;
    // Dispatch routines running for this IRP, outermost first.
    std::vector<DispatchFrame*> frames;
};

std::mutex g_lock;
std::unordered_map<PIRP, IrpState> g_live;
std::map<PIRP, std::function<void(PIRP)>> g_finalCompletion;
KSPIN_LOCK g_cancelSpinLock = 0;
// Marks IRPs from the I/O manager's reserve, which are not pool blocks.
constexpr UCHAR kMustSucceedIrp = 0x80;

// Called with g_lock held.
IrpState& LiveState(PIRP irp, const char* api) {
    auto it = irp == nullptr ? g_live.end() : g_live.find(irp);
    if (it == g_live.end()) {
        VerifierStop(rule::kIrpNotLive, api, "IRP %p", static_cast<void*>(irp));
    }
    return it->second;
}

void CheckLive(PIRP irp, const char* api) {
    std::lock_guard<std::mutex> guard(g_lock);
    LiveState(irp, api);
}

[[noreturn]] void CompletedTwice(PIRP irp, const char* how) {
    VerifierStop(rule::kIrpCompletedTwice, "IoCompleteRequest", "IRP %p %s (status 0x%08x)",
                 static_cast<void*>(irp), how, static_cast<unsigned>(irp->IoStatus.Status));
}

// Marks the IRP as being completed by this thread. The check and the mark are
// one step under the lock, so two threads completing the IRP at once are
// caught even before either has moved its stack location.
void BeginCompleting(PIRP irp) {
    std::lock_guard<std::mutex> guard(g_lock);
    IrpState& state = LiveState(irp, "IoCompleteRequest");
    if (state.completing) {
        CompletedTwice(irp, "is being completed by another thread");
    }
    if (irp->CurrentLocation > irp->StackCount) {
        CompletedTwice(irp, "was already completed");
    }
    state.completing = true;
    ++state.completions;
    for (DispatchFrame* frame : state.frames) {
        frame->completed = true;
        frame->completedWith = irp->IoStatus.Status;
    }
}

// Before a completion routine runs (it may complete the IRP again later, from
// any thread, after returning STATUS_MORE_PROCESSING_REQUIRED) and once the
// walk is over; returns the completions begun so far. The IRP may have been
// freed by then.
unsigned long EndCompleting(PIRP irp) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_live.find(irp);
    if (it == g_live.end()) {
        return 0;
    }
    it->second.completing = false;
    return it->second.completions;
}

// After a completion routine that let the completion go on.
void ResumeCompleting(PIRP irp, unsigned long completionsBefore) {
    std::lock_guard<std::mutex> guard(g_lock);
    IrpState& state = LiveState(irp, "IoCompleteRequest");
    if (state.completing || state.completions != completionsBefore) {
        CompletedTwice(irp, "was completed again while its completion routines ran");
    }
    state.completing = true;
}

PIO_STACK_LOCATION StackBase(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}

void ResetStack(PIRP irp) {
    irp->CurrentLocation = static_cast<CHAR>(irp->StackCount + 1);
    irp->Tail.Overlay.CurrentStackLocation = StackBase(irp) + irp->StackCount;
}

void BeginFrame(DispatchFrame* frame) {
    std::lock_guard<std::mutex> guard(g_lock);
    LiveState(frame->irp, "IoCallDriver").frames.push_back(frame);
}

void EndFrame(DispatchFrame* frame, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (frame->irpFreed) {
        return;
    }
    auto& frames = g_live.at(frame->irp).frames;
    frames.erase(std::find(frames.begin(), frames.end(), frame));
    if (status == STATUS_PENDING) {
        for (DispatchFrame* caller : frames) {
            if (caller->location == frame->location + 1) {
                caller->lowerReturnedPending = true;
            }
        }
    }
}

// The rules Driver Verifier applies when a dispatch routine returns.
void CheckDispatchReturn(const DispatchFrame& frame, PDEVICE_OBJECT device, NTSTATUS status,
                         KIRQL calledAt) {
    auto irp = static_cast<void*>(frame.irp);
    auto where = "dispatch routine";
    if (KeGetCurrentIrql() != calledAt) {
        VerifierStop(rule::kRoutineChangedIrql, where,
                     "the dispatch routine of device %p returned at IRQL %u for IRP %p; it was "
                     "called at IRQL %u",
                     static_cast<void*>(device), KeGetCurrentIrql(), irp, calledAt);
    }
    if (status == STATUS_PENDING && !frame.markedPending && !frame.lowerReturnedPending) {
        VerifierStop(rule::kPendingNotMarked, where,
                     "the dispatch routine of device %p returned STATUS_PENDING for IRP %p "
                     "without calling IoMarkIrpPending on it",
                     static_cast<void*>(device), irp);
    }
    if (status != STATUS_PENDING && frame.markedPending) {
        VerifierStop(rule::kMarkedPendingNotReturned, where,
                     "the dispatch routine of device %p marked IRP %p pending and returned "
                     "0x%08x",
                     static_cast<void*>(device), irp, static_cast<unsigned>(status));
    }
    if (status != STATUS_PENDING && frame.completed && status != frame.completedWith) {
        VerifierStop(rule::kReturnedOtherThanCompleted, where,
                     "the dispatch routine of device %p completed IRP %p with 0x%08x and "
                     "returned 0x%08x",
                     static_cast<void*>(device), irp, static_cast<unsigned>(frame.completedWith),
                     static_cast<unsigned>(status));
    }
}

// The IRP a thread is cancelling, while its cancel routine runs.
thread_local PIRP t_cancelling = nullptr;

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SIM_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define SIM_THREAD_SANITIZER 1
#endif

#ifdef SIM_THREAD_SANITIZER
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif

// Drivers read Irp->Cancel without a lock, by the documented pattern: set the
// cancel routine (an interlocked exchange), then test Cancel, then take the
// routine back with another exchange, which decides who completes the IRP.
// The kernel sets the flag under the cancel spin lock that the driver does not
// hold, so the flag races with that read by contract, not by a driver fault;
// this one store is hidden from ThreadSanitizer, and every other access to
// the IRP stays watched.
void SetCancelFlag(PIRP irp) {
#ifdef SIM_THREAD_SANITIZER
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
    *reinterpret_cast<volatile BOOLEAN*>(&irp->Cancel) = TRUE; // a byte store, as the kernel's
#ifdef SIM_THREAD_SANITIZER
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
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
    g_live[irp] = IrpState{};
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
    g_live[irp] = IrpState{};
    return irp;
}

VOID IoFreeIrp(PIRP Irp) {
    CheckLive(Irp, "IoFreeIrp");
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (DispatchFrame* frame : g_live.at(Irp).frames) {
            frame->irpFreed = true;
        }
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
    {
        std::lock_guard<std::mutex> guard(g_lock);
        LiveState(Irp, "IoReuseIrp").completing = false;
    }
    // As IoInitializeIrp does: everything starts anew but how the IRP was
    // allocated, which decides how it is freed.
    CHAR stackCount = Irp->StackCount;
    USHORT size = Irp->Size;
    UCHAR allocationFlags = Irp->AllocationFlags;
    RtlZeroMemory(Irp, size);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = size;
    Irp->StackCount = stackCount;
    Irp->AllocationFlags = allocationFlags;
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
    // What the sender wrote into its buffer is in the mappings it carries.
    sim::mdl::SynchroniseIrpMappings(Irp, "IoCallDriver");
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    if (dispatch == nullptr) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    DispatchFrame frame{Irp, Irp->CurrentLocation};
    BeginFrame(&frame);
    KIRQL calledAt = KeGetCurrentIrql();
    NTSTATUS status = dispatch(DeviceObject, Irp);
    EndFrame(&frame, status);
    CheckDispatchReturn(frame, DeviceObject, status, calledAt);
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::VerifierStop(sim::rule::kIrqlTooHigh, "IoCompleteRequest", "called at IRQL %u",
                          KeGetCurrentIrql());
    }
    BeginCompleting(Irp);
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        sim::VerifierStop(sim::rule::kIrpCompletedPending, "IoCompleteRequest", "IRP %p",
                          static_cast<void*>(Irp));
    }
    // IoCancelIrp on another thread may be exchanging the routine right now:
    // read it the way it is written.
    PVOID cancelRoutine = InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), nullptr, nullptr);
    if (cancelRoutine != nullptr) {
        sim::VerifierStop(sim::rule::kIrpCompletedWithCancelRoutine, "IoCompleteRequest",
                          "IRP %p still has cancel routine %p", static_cast<void*>(Irp),
                          cancelRoutine);
    }
    // The data the completing driver wrote through a mapping is in the
    // caller's buffer before anyone above looks at it.
    sim::mdl::SynchroniseIrpMappings(Irp, "IoCompleteRequest");

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
            unsigned long completions = EndCompleting(Irp);
            KIRQL calledAt = KeGetCurrentIrql();
            NTSTATUS result = routine(upper, Irp, context);
            if (KeGetCurrentIrql() != calledAt) {
                sim::VerifierStop(sim::rule::kRoutineChangedIrql, "completion routine",
                                  "completion routine %p returned at IRQL %u; it was called at "
                                  "IRQL %u",
                                  reinterpret_cast<void*>(routine), KeGetCurrentIrql(), calledAt);
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
            ResumeCompleting(Irp, completions);
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    EndCompleting(Irp);
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
    if (__atomic_load_n(&g_cancelSpinLock, __ATOMIC_RELAXED) != 0) {
        sim::race::Point(sim::race::kCancelLockContended, nullptr);
    }
    *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancelSpinLock);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&g_cancelSpinLock, Irql);
    if (t_cancelling != nullptr) {
        sim::race::Point(sim::race::kCancelLockReleasedByRoutine, t_cancelling);
    }
}

VOID SimIrpMarkedPending(PIRP Irp) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (DispatchFrame* frame : LiveState(Irp, "IoMarkIrpPending").frames) {
        if (frame->location == Irp->CurrentLocation) {
            frame->markedPending = true;
        }
    }
}

VOID SimCancelRoutineInstalled(PIRP Irp) {
    sim::race::Point(sim::race::kCancelRoutineInstalled, Irp);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    CheckLive(Irp, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    SetCancelFlag(Irp);
    // The system takes the routine out of the IRP before it calls it; a driver
    // that cleared it first keeps the IRP.
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    sim::race::Point(sim::race::kCancelRoutineTaken, Irp);
    // The cancel routine releases the cancel spin lock and returns at the
    // IRQL this call was made at.
    PIRP outer = t_cancelling;
    t_cancelling = Irp;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    t_cancelling = outer;
    if (__atomic_load_n(&g_cancelSpinLock, __ATOMIC_RELAXED) ==
        reinterpret_cast<ULONG_PTR>(KeGetCurrentThread())) {
        sim::VerifierStop(sim::rule::kRoutineChangedIrql, "cancel routine",
                          "cancel routine %p returned holding the cancel spin lock",
                          reinterpret_cast<void*>(routine));
    }
    if (KeGetCurrentIrql() != irql) {
        sim::VerifierStop(sim::rule::kRoutineChangedIrql, "cancel routine",
                          "cancel routine %p returned at IRQL %u; IoCancelIrp was called at IRQL "
                          "%u",
                          reinterpret_cast<void*>(routine), KeGetCurrentIrql(), irql);
    }
    return TRUE;
}

} // extern "C"

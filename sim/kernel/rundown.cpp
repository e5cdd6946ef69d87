// Rundown protection: holders take shared access to an object at up to
// DISPATCH_LEVEL, and one thread, at PASSIVE_LEVEL or APC_LEVEL, stops new
// holders and waits until the last one has left before the object goes.
//
// The reference holds, as on Windows, twice the number of holders, with the
// low bit set once the rundown has begun. While holders remain the waiter
// leaves in it the address of a record on its stack (low bit set) that
// counts them down, and the last one to leave signals the record's event.
#include "sim/core/race.h"
#include "sim/core/verifier.h"
#include "sim/kernel/irql_check.h"

namespace {

constexpr ULONG_PTR kRunningDown = 1; // no new holder is let in
constexpr ULONG_PTR kHolder = 2;      // one holder in the count

// What the waiter leaves in the reference while holders are out.
struct RundownWait {
    ULONG_PTR holders; // left to leave, changed with atomic operations
    KEVENT lastLeft;   // signalled by the last one
};

ULONG_PTR Load(PEX_RUNDOWN_REF RunRef) {
    return __atomic_load_n(&RunRef->Count, __ATOMIC_ACQUIRE);
}

bool Exchange(PEX_RUNDOWN_REF RunRef, ULONG_PTR* expected, ULONG_PTR value) {
    return __atomic_compare_exchange_n(&RunRef->Count, expected, value, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}

RundownWait* WaitOf(ULONG_PTR value) {
    return reinterpret_cast<RundownWait*>(value & ~kRunningDown);
}

} // namespace

extern "C" {

VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef) {
    __atomic_store_n(&RunRef->Count, 0, __ATOMIC_RELEASE);
}

VOID ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef) {
    ULONG_PTR value = Load(RunRef);
    if (value != kRunningDown) {
        sim::VerifierStop(sim::rule::kRundownReinitializedInUse, "ExReInitializeRundownProtection",
                          "reference %p is %s", static_cast<void*>(RunRef),
                          (value & kRunningDown) == 0 ? "not run down"
                                                      : "still waited for by a rundown");
    }
    __atomic_store_n(&RunRef->Count, 0, __ATOMIC_RELEASE);
}

BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "ExAcquireRundownProtection");
    ULONG_PTR value = Load(RunRef);
    for (;;) {
        if ((value & kRunningDown) != 0) {
            return FALSE;
        }
        if (Exchange(RunRef, &value, value + kHolder)) {
            return TRUE;
        }
    }
}

VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "ExReleaseRundownProtection");
    ULONG_PTR value = Load(RunRef);
    for (;;) {
        if ((value & kRunningDown) != 0) {
            RundownWait* wait = WaitOf(value);
            if (wait == nullptr) {
                sim::VerifierStop(sim::rule::kRundownReleasedTooOften, "ExReleaseRundownProtection",
                                  "reference %p was run down with no holder left",
                                  static_cast<void*>(RunRef));
            }
            // The waiter stays until the count reaches zero: the record lives.
            if (__atomic_sub_fetch(&wait->holders, 1, __ATOMIC_ACQ_REL) == 0) {
                KeSetEvent(&wait->lastLeft, IO_NO_INCREMENT, FALSE);
            }
            return;
        }
        if (value < kHolder) {
            sim::VerifierStop(sim::rule::kRundownReleasedTooOften, "ExReleaseRundownProtection",
                              "reference %p has no holder", static_cast<void*>(RunRef));
        }
        if (Exchange(RunRef, &value, value - kHolder)) {
            return;
        }
    }
}

VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef) {
    sim::kernel::RequireIrqlAtMost(APC_LEVEL, "ExWaitForRundownProtectionRelease");
    RundownWait wait;
    KeInitializeEvent(&wait.lastLeft, NotificationEvent, FALSE);
    ULONG_PTR value = Load(RunRef);
    for (;;) {
        if (value == kRunningDown) {
            return; // run down before: nobody can hold it
        }
        if ((value & kRunningDown) != 0) {
            sim::VerifierStop(sim::rule::kRundownWaitedTwice, "ExWaitForRundownProtectionRelease",
                              "reference %p is already waited for by another thread",
                              static_cast<void*>(RunRef));
        }
        if (value == 0) {
            if (Exchange(RunRef, &value, kRunningDown)) {
                return;
            }
            continue;
        }
        wait.holders = value / kHolder;
        if (Exchange(RunRef, &value, reinterpret_cast<ULONG_PTR>(&wait) | kRunningDown)) {
            break;
        }
    }
    sim::race::Point(sim::race::kRundownWaiting, RunRef);
    KeWaitForSingleObject(&wait.lastLeft, Executive, KernelMode, FALSE, nullptr);
    __atomic_store_n(&RunRef->Count, kRunningDown, __ATOMIC_RELEASE);
}

} // extern "C"

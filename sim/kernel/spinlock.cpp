// Spin locks. A lock word holds its owner thread; acquiring raises to
// DISPATCH_LEVEL, releasing checks the owner and restores the caller's IRQL.
#include <thread>

#include "sim/core/race.h"
#include "sim/core/verifier.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/thread_state.h"

namespace {

constexpr ULONG_PTR kFreedLockWord = 0x0101010101010101ULL * sim::pool::kFreedFill;

// A lock word no thread could have written: the lock lies in freed pool.
void CheckNotFreed(PKSPIN_LOCK SpinLock, ULONG_PTR word, const char* api) {
    if (word == kFreedLockWord && sim::pool::IsFreed(SpinLock)) {
        sim::VerifierStop(sim::rule::kFreedPoolUsed, api,
                          "spin lock %p lies in a pool block that was freed",
                          static_cast<void*>(SpinLock));
    }
}

void Acquire(PKSPIN_LOCK SpinLock, const char* api) {
    auto self = reinterpret_cast<ULONG_PTR>(KeGetCurrentThread());
    CheckNotFreed(SpinLock, __atomic_load_n(SpinLock, __ATOMIC_RELAXED), api);
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == self) {
        sim::VerifierStop(sim::rule::kSpinLockRecursion, api, "lock %p would deadlock",
                          static_cast<void*>(SpinLock));
    }
    for (bool first = true;; first = false) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            return;
        }
        if (first) {
            sim::race::Point(sim::race::kSpinLockContended, SpinLock);
        }
        // Host threads may be descheduled while holding a lock: let them run.
        std::this_thread::yield();
    }
}

void Release(PKSPIN_LOCK SpinLock, const char* api) {
    auto self = reinterpret_cast<ULONG_PTR>(KeGetCurrentThread());
    ULONG_PTR owner = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
    if (owner != self) {
        sim::VerifierStop(sim::rule::kSpinLockNotHeld, api, "lock %p is %s",
                          static_cast<void*>(SpinLock),
                          owner == 0 ? "not held" : "held by another thread");
    }
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

} // namespace

extern "C" {

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Acquire(SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    Release(SpinLock, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
    sim::race::Point(sim::race::kSpinLockReleased, SpinLock);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
        sim::VerifierStop(sim::rule::kIrqlTransition, "KeAcquireSpinLockAtDpcLevel",
                          "called at IRQL %u, not DISPATCH_LEVEL", KeGetCurrentIrql());
    }
    Acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    Release(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

} // extern "C"

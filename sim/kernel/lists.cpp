// Doubly linked lists guarded by a spin lock, and the integrity check every
// list operation makes.
#include "sim/core/verifier.h"
#include "ntddk.h"

extern "C" {

VOID SimListEntryCorrupted(PLIST_ENTRY Entry, PCSTR Operation) {
    sim::VerifierStop(sim::rule::kListCorrupted, Operation,
                      "entry %p: its neighbours do not point back at it",
                      static_cast<void*>(Entry));
}

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Lock);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, irql);
    return first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Lock);
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, irql);
    return last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Lock);
    PLIST_ENTRY entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, irql);
    return entry;
}

} // extern "C"

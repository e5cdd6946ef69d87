// Executive pool allocations and rundown protection.
#pragma once

#include "km/ntstatus.h"

extern "C" {
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool2(ULONG64 Flags, SIZE_T NumberOfBytes, ULONG Tag);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);
}

// Rundown protection: holders take shared access to an object, and one
// thread stops new holders and waits for the last to leave before the object
// goes. Twice the number of holders, with the low bit set once the rundown
// has begun.
typedef struct _EX_RUNDOWN_REF {
    union {
        volatile ULONG_PTR Count;
        volatile PVOID Ptr;
    };
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;

extern "C" {
VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
VOID ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef);
VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef);
VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef);
}

#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_PAGED     0x0000000000000100ULL

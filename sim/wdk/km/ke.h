// Kernel dispatcher objects, waits, IRQL and interlocked operations.
#pragma once

#include "km/ntstatus.h"

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Reserved1;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD, *PETHREAD;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    PKTHREAD OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

static_assert(sizeof(KEVENT) == 24, "KEVENT is 24 bytes on x64");
static_assert(sizeof(KMUTEX) == 56, "KMUTEX is 56 bytes on x64");

typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    PVOID Object;
    PVOID Thread;
    USHORT WaitKey;
    UCHAR WaitType;
    UCHAR BlockState;
} KWAIT_BLOCK, *PKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS   3
#define MAXIMUM_WAIT_OBJECTS  64
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY         31
#define IO_NO_INCREMENT       0
#define EVENT_INCREMENT       1

extern "C" {

KIRQL KeGetCurrentIrql(void);
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel(void);

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG KeResetEvent(PRKEVENT Event);
VOID KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG KeReadStateMutex(PRKMUTEX Mutex);

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);

PKTHREAD KeGetCurrentThread(void);
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
// 100 ns units since an arbitrary start, never going back: the simulated
// clock while one lives (for every thread, so a driver's timed waits and its
// time stamps agree), the host's steady clock otherwise.
ULONGLONG KeQueryInterruptTime(void);

LONG InterlockedIncrement(LONG volatile* Addend);
LONG InterlockedDecrement(LONG volatile* Addend);
LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand);
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
// The 8-bit operations exist as the compiler's intrinsics only: the Windows 7
// headers do not declare InterlockedExchange8 or InterlockedCompareExchange8.
CHAR _InterlockedExchange8(CHAR volatile* Target, CHAR Value);
CHAR _InterlockedCompareExchange8(CHAR volatile* Destination, CHAR Exchange, CHAR Comparand);
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                        PVOID Comparand);

// Called by PAGED_CODE(): pageable code must not run above APC_LEVEL.
VOID SimCheckPagedCode(PCSTR File, ULONG Line, PCSTR Function);
}

// The bit-scan intrinsic: the index of the lowest set bit, FALSE for no bit.
inline BOOLEAN BitScanForward(PULONG Index, ULONG Mask) {
    if (Mask == 0) {
        return FALSE;
    }
    *Index = static_cast<ULONG>(__builtin_ctz(Mask));
    return TRUE;
}

#define PAGED_CODE()        SimCheckPagedCode(__FILE__, __LINE__, __func__)
#define PAGED_CODE_LOCKED() ((void)0)
// User mode has no pageable sections: the WDK's PAGE placement means nothing here.
#define PAGED_CODE_SEG

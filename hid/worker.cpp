// Worker system threads: preparing the record, launching a thread on it and
// asking the thread to stop.
//
// The launcher, the thread and a stopper run concurrently, so every field one
// of them writes while another may look is read and written with interlocked
// operations, and the steps that must not interleave (a launch, the thread
// clearing the record on its way out) run under the record's lock.
#include "hid/worker_record.h"

#define WORKER_THREAD_ACCESS 0x001FFFFF // THREAD_ALL_ACCESS

namespace {

PVOID ReadPointer(PVOID volatile* Field) {
    return InterlockedCompareExchangePointer(Field, NULL, NULL);
}

PVOID TakePointer(PVOID volatile* Field) {
    return InterlockedExchangePointer(Field, NULL);
}

PVOID volatile* ThreadObjectField(PWORKER_RECORD pWorker) {
    return &pWorker->m_pThreadObj;
}

PVOID volatile* ThreadHandleField(PWORKER_RECORD pWorker) {
    return reinterpret_cast<PVOID volatile*>(&pWorker->hThread);
}

} // namespace

PAGED_CODE_SEG _Use_decl_annotations_ VOID ThreadLockRecord(PWORKER_RECORD pWorker) {
    PAGED_CODE();
    KeWaitForSingleObject(&pWorker->EV_RECORD_FREE, Executive, KernelMode, FALSE, NULL);
}

_Use_decl_annotations_ VOID ThreadUnlockRecord(PWORKER_RECORD pWorker) {
    KeSetEvent(&pWorker->EV_RECORD_FREE, IO_NO_INCREMENT, FALSE);
}

_Use_decl_annotations_ LONG ThreadState(PWORKER_RECORD pWorker) {
    return InterlockedCompareExchange(&pWorker->State, 0, 0);
}

_Use_decl_annotations_ VOID ThreadSetState(PWORKER_RECORD pWorker, LONG State) {
    InterlockedExchange(&pWorker->State, State);
}

_Use_decl_annotations_ BOOLEAN ThreadHandleHeld(PWORKER_RECORD pWorker) {
    return ReadPointer(ThreadHandleField(pWorker)) != NULL;
}

_Use_decl_annotations_ BOOLEAN ThreadRunsOn(PWORKER_RECORD pWorker) {
    return ThreadHandleHeld(pWorker) && ThreadState(pWorker) == WORKER_RUNNING &&
           InterlockedCompareExchange(&pWorker->Leaving, 0, 0) == 0;
}

PAGED_CODE_SEG _Use_decl_annotations_ BOOLEAN ThreadHasLeft(PWORKER_RECORD pWorker) {
    BOOLEAN left;

    PAGED_CODE();

    ThreadLockRecord(pWorker);
    left = ThreadState(pWorker) != WORKER_RUNNING;
    ThreadUnlockRecord(pWorker);
    return left;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS ThreadInit(PWORKER_RECORD pWorker) {
    PAGED_CODE();

    if (pWorker == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    pWorker->State = WORKER_UNINITIALIZED;
    pWorker->Leaving = 0;
    pWorker->m_pThreadObj = NULL;
    pWorker->hThread = NULL;
    KeInitializeEvent(&pWorker->EV_STOP_THREAD, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pWorker->EV_THREAD_EXITED, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pWorker->EV_LAUNCHED, NotificationEvent, FALSE);
    KeInitializeEvent(&pWorker->EV_RECORD_FREE, SynchronizationEvent, TRUE);
    pWorker->State = WORKER_INITIALIZED;
    return STATUS_SUCCESS;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS ThreadLaunch(PKSTART_ROUTINE StartRoutine,
                                                            PVOID StartContext,
                                                            PWORKER_RECORD pWorker) {
    OBJECT_ATTRIBUTES attributes;
    HANDLE handle = NULL;
    PVOID object = NULL;
    NTSTATUS status;

    PAGED_CODE();

    if (StartRoutine == NULL || pWorker == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ThreadState(pWorker) == WORKER_UNINITIALIZED) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                    "Quillex!ThreadLaunch: Auto-initializing worker structure\n");
        status = ThreadInit(pWorker);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    if (ThreadHandleHeld(pWorker)) {
        if (ReadPointer(ThreadObjectField(pWorker)) != NULL &&
            ThreadState(pWorker) == WORKER_TERMINATED) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                        "Quillex!ThreadLaunch: (Thread already terminated but not cleaned up)\n");
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                        "Quillex!ThreadLaunch: ZwClose(pWorker->hThread)\n");
            ZwClose(TakePointer(ThreadHandleField(pWorker)));
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                        "Quillex!ThreadLaunch: ObDereferenceObject(pWorker->m_pThreadObj)\n");
            ObDereferenceObject(TakePointer(ThreadObjectField(pWorker)));
        }
        // A thread runs: it is left alone. A handle without a reference is a
        // thread whose reference failed; it still runs until it clears the
        // handle on its way out, and a second thread would share its record.
        if (ThreadHandleHeld(pWorker)) {
            return STATUS_SUCCESS;
        }
    }

    // The new thread waits for this before it touches hThread or m_pThreadObj.
    KeClearEvent(&pWorker->EV_LAUNCHED);
    InterlockedExchange(&pWorker->Leaving, 0);
    // A confirmation an earlier thread left behind (one that ended on its
    // own, unasked) must not pass for the new thread's, nor a stop that a
    // teardown repeated for an earlier thread stop this one.
    KeClearEvent(&pWorker->EV_THREAD_EXITED);
    KeClearEvent(&pWorker->EV_STOP_THREAD);

    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    status = PsCreateSystemThread(&handle, WORKER_THREAD_ACCESS, &attributes, NULL, NULL,
                                  StartRoutine, StartContext);
    InterlockedExchangePointer(ThreadHandleField(pWorker), NT_SUCCESS(status) ? handle : NULL);
    if (!NT_SUCCESS(status) || handle == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!ThreadLaunch: Error - PsCreateSystemThread failed - %x\n", status);
        KeSetEvent(&pWorker->EV_LAUNCHED, IO_NO_INCREMENT, FALSE);
        return status;
    }

    status =
        ObReferenceObjectByHandle(handle, WORKER_THREAD_ACCESS, NULL, KernelMode, &object, NULL);
    InterlockedExchangePointer(ThreadObjectField(pWorker), NT_SUCCESS(status) ? object : NULL);
    KeSetEvent(&pWorker->EV_LAUNCHED, IO_NO_INCREMENT, FALSE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!ThreadLaunch: Error - ObReferenceObjectByHandle failed - %x\n",
                    status);
        return status;
    }

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!ThreadLaunch: Launched worker thread\n");
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS ThreadRecover(PWORKER_RECORD pWorker,
                                                             ULONG TimeoutMs) {
    LARGE_INTEGER timeout;
    NTSTATUS status;

    PAGED_CODE();

    if (pWorker == NULL) {
        return STATUS_SUCCESS;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!ThreadRecover: SHUTDOWN KeSetEvent(EV_STOP_THREAD)\n");
    KeSetEvent(&pWorker->EV_STOP_THREAD, IO_NO_INCREMENT, FALSE);
    if (ReadPointer(ThreadObjectField(pWorker)) == NULL) {
        return STATUS_SUCCESS;
    }

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!ThreadRecover: Wait for worker thread to shut down...\n");
    timeout.QuadPart = -static_cast<LONGLONG>(TimeoutMs) * 10000;
    status =
        KeWaitForSingleObject(&pWorker->EV_THREAD_EXITED, Executive, KernelMode, FALSE, &timeout);
    if (status != STATUS_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!ThreadRecover: SHUTDOWN error KeWaitForSingleObject - %x\n", status);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID, "Quillex!ThreadRecover: *****TBD*****\n");
    }
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ VOID ThreadFinish(PWORKER_RECORD pWorker) {
    PAGED_CODE();

    // From here on an open must launch a new thread rather than count on this one.
    InterlockedExchange(&pWorker->Leaving, 1);
    // hThread and m_pThreadObj are the launcher's until it has stored them.
    KeWaitForSingleObject(&pWorker->EV_LAUNCHED, Executive, KernelMode, FALSE, NULL);

    ThreadLockRecord(pWorker);
    PVOID thread = TakePointer(ThreadObjectField(pWorker));
    if (thread != NULL) {
        ObDereferenceObject(thread);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!QuillexHidReaderThread: ZwClose(hThread)\n");
    HANDLE handle = TakePointer(ThreadHandleField(pWorker));
    if (handle != NULL) {
        ZwClose(handle);
    }
    ThreadSetState(pWorker, WORKER_TERMINATED);
    KeSetEvent(&pWorker->EV_THREAD_EXITED, IO_NO_INCREMENT, FALSE);
    // The last touch: a stopper that gets the lock after this may let the
    // device, and this record with it, go.
    ThreadUnlockRecord(pWorker);
}

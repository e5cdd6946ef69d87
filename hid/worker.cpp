// Worker system threads: preparing the record, launching a thread on it and
// asking the thread to stop.
#include "hid/worker_record.h"

#define WORKER_THREAD_ACCESS 0x001FFFFF // THREAD_ALL_ACCESS

_Use_decl_annotations_ NTSTATUS ThreadInit(PWORKER_RECORD pWorker) {
    PAGED_CODE();

    if (pWorker == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    pWorker->State = WORKER_UNINITIALIZED;
    pWorker->m_pThreadObj = NULL;
    pWorker->hThread = NULL;
    pWorker->Launching = 0;
    KeInitializeEvent(&pWorker->EV_STOP_THREAD, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pWorker->EV_THREAD_EXITED, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pWorker->EV_LAUNCHED, NotificationEvent, FALSE);
    pWorker->State = WORKER_INITIALIZED;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS ThreadLaunch(PKSTART_ROUTINE StartRoutine, PVOID StartContext,
                                             PWORKER_RECORD pWorker) {
    OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    PAGED_CODE();

    if (StartRoutine == NULL || pWorker == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pWorker->State == WORKER_UNINITIALIZED) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                    "Quillex!ThreadLaunch: Auto-initializing worker structure\n");
        status = ThreadInit(pWorker);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    if (pWorker->hThread != NULL) {
        if (pWorker->m_pThreadObj != NULL && pWorker->State == WORKER_TERMINATED) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                        "Quillex!ThreadLaunch: (Thread already terminated but not cleaned up)\n");
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                        "Quillex!ThreadLaunch: ZwClose(pWorker->hThread)\n");
            ZwClose(pWorker->hThread);
            pWorker->hThread = NULL;
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                        "Quillex!ThreadLaunch: ObDereferenceObject(pWorker->m_pThreadObj)\n");
            ObDereferenceObject(pWorker->m_pThreadObj);
            pWorker->m_pThreadObj = NULL;
        }
        // A thread runs: it is left alone. A handle without a reference is a
        // thread whose reference failed; it still runs until it clears the
        // handle on its way out, and a second thread would share its record.
        if (pWorker->hThread != NULL) {
            return STATUS_SUCCESS;
        }
    }

    // The new thread waits for this before it touches hThread or m_pThreadObj.
    KeClearEvent(&pWorker->EV_LAUNCHED);

    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    status = PsCreateSystemThread(&pWorker->hThread, WORKER_THREAD_ACCESS, &attributes, NULL, NULL,
                                  StartRoutine, StartContext);
    if (!NT_SUCCESS(status) || pWorker->hThread == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!ThreadLaunch: Error - PsCreateSystemThread failed - %x\n", status);
        pWorker->hThread = NULL;
        KeSetEvent(&pWorker->EV_LAUNCHED, IO_NO_INCREMENT, FALSE);
        return status;
    }

    status = ObReferenceObjectByHandle(pWorker->hThread, WORKER_THREAD_ACCESS, NULL, KernelMode,
                                       &pWorker->m_pThreadObj, NULL);
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

_Use_decl_annotations_ NTSTATUS ThreadRecover(PWORKER_RECORD pWorker, ULONG TimeoutMs) {
    LARGE_INTEGER timeout;
    NTSTATUS status;

    PAGED_CODE();

    if (pWorker == NULL) {
        return STATUS_SUCCESS;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!ThreadRecover: SHUTDOWN KeSetEvent(EV_STOP_THREAD)\n");
    KeSetEvent(&pWorker->EV_STOP_THREAD, IO_NO_INCREMENT, FALSE);
    if (pWorker->m_pThreadObj == NULL) {
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

_Use_decl_annotations_ VOID ThreadFinish(PWORKER_RECORD pWorker) {
    PAGED_CODE();

    // hThread and m_pThreadObj are the launcher's until it has stored them.
    KeWaitForSingleObject(&pWorker->EV_LAUNCHED, Executive, KernelMode, FALSE, NULL);
    if (pWorker->m_pThreadObj != NULL) {
        PVOID thread = pWorker->m_pThreadObj;
        pWorker->m_pThreadObj = NULL;
        ObDereferenceObject(thread);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!QuillexHidReaderThread: ZwClose(hThread)\n");
    if (pWorker->hThread != NULL) {
        HANDLE handle = pWorker->hThread;
        pWorker->hThread = NULL;
        ZwClose(handle);
    }
    // Terminated before the confirmation: once a stopper has it, the device
    // (and this record with it) may go at any moment.
    pWorker->State = WORKER_TERMINATED;
    KeSetEvent(&pWorker->EV_THREAD_EXITED, IO_NO_INCREMENT, FALSE);
}

// The record through which a worker system thread is launched and stopped,
// and the routines that manage it.
#pragma once

#include "platform/platform.h"

typedef enum _WORKER_STATE {
    WORKER_UNINITIALIZED = 0, // record not prepared
    WORKER_INITIALIZED = 1,   // events ready, no thread
    WORKER_RUNNING = 2,       // a thread has been asked for or runs
    WORKER_TERMINATED = 3,    // the thread has finished
} WORKER_STATE;

typedef struct _WORKER_RECORD {
    PVOID m_pThreadObj;      // referenced thread object, null when absent
    HANDLE hThread;          // kernel handle of the thread, null when absent
    KEVENT EV_STOP_THREAD;   // asks the thread to stop (synchronization event)
    KEVENT EV_THREAD_EXITED; // the thread is done with the device (synchronization event)
    LONG State;              // a WORKER_STATE
    // Set by ThreadLaunch once hThread and m_pThreadObj are stored (or known
    // to stay absent); the thread waits for it before it cleans them up, so a
    // thread that leaves at once never finds them half-written (notification
    // event).
    KEVENT EV_LAUNCHED;
    // 1 while a caller checks for a thread and launches one: opens complete
    // concurrently, and two launches at once would start two threads on one
    // record, the second untracked and outliving the device.
    LONG Launching;
} WORKER_RECORD, *PWORKER_RECORD;

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS ThreadInit(_In_opt_ PWORKER_RECORD pWorker);

// Starts StartRoutine(StartContext) in a system thread unless the record
// holds a live one.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    ThreadLaunch(_In_opt_ PKSTART_ROUTINE StartRoutine, _In_opt_ PVOID StartContext,
                 _In_opt_ PWORKER_RECORD pWorker);

// Asks the thread to stop and waits up to TimeoutMs for it to confirm.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    ThreadRecover(_In_opt_ PWORKER_RECORD pWorker, _In_ ULONG TimeoutMs);

// The worker thread's last duties, run by the thread itself on its way out:
// drops its reference and closes its handle once the launcher has stored
// them, confirms its exit (EV_THREAD_EXITED) and marks the record
// terminated. The thread touches nothing of the device after this but the
// record's State and what it traces.
_IRQL_requires_max_(PASSIVE_LEVEL) VOID ThreadFinish(_In_ PWORKER_RECORD pWorker);

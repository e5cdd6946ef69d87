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
    // Set by the thread as it begins its last duties, cleared by the launch
    // of the next: a thread that is RUNNING and not Leaving goes on running.
    LONG Leaving;
    // Set by ThreadLaunch once hThread and m_pThreadObj are stored (or known
    // to stay absent); the thread waits for it before it cleans them up, so a
    // thread that leaves at once never finds them half-written (notification
    // event).
    KEVENT EV_LAUNCHED;
    // The record's lock, a synchronization event that is signalled while
    // free. Held by whoever launches a thread on the record, by the thread
    // while it clears the record on its way out, and by a stopper looking at
    // what the record holds: opens complete concurrently with each other,
    // with the thread's exit and with teardown, and without it two threads
    // could be launched on one record, or a new thread's handle be closed by
    // the old thread leaving.
    KEVENT EV_RECORD_FREE;
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
// them, marks the record terminated and confirms its exit
// (EV_THREAD_EXITED), all under the record's lock. Releasing that lock is
// the thread's last touch of the record: from then on the device may go.
_IRQL_requires_max_(PASSIVE_LEVEL) VOID ThreadFinish(_In_ PWORKER_RECORD pWorker);

// The record's lock (EV_RECORD_FREE). Whoever holds it waits for the
// record's thread only with a short bound: the thread needs it to leave.
_IRQL_requires_max_(PASSIVE_LEVEL) VOID ThreadLockRecord(_In_ PWORKER_RECORD pWorker);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ThreadUnlockRecord(_In_ PWORKER_RECORD pWorker);

// The record's fields as another thread may be writing them: State, and
// whether a thread handle is held.
_IRQL_requires_max_(DISPATCH_LEVEL) LONG ThreadState(_In_ PWORKER_RECORD pWorker);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    ThreadSetState(_In_ PWORKER_RECORD pWorker, _In_ LONG State);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN ThreadHandleHeld(_In_ PWORKER_RECORD pWorker);
// TRUE while a thread runs on the record and has not begun to leave: a
// launch now would leave it alone. At any IRQL, without the record's lock.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN ThreadRunsOn(_In_ PWORKER_RECORD pWorker);

// TRUE once the record's thread has finished its last duties (State is no
// longer WORKER_RUNNING, read under the record's lock, so a thread still
// clearing the record is waited for).
_IRQL_requires_max_(PASSIVE_LEVEL) BOOLEAN ThreadHasLeft(_In_ PWORKER_RECORD pWorker);

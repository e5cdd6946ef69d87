// The record through which a worker system thread is launched and stopped.
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
} WORKER_RECORD, *PWORKER_RECORD;

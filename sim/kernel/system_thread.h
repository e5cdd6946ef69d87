// System threads as the driver starts them (PsCreateSystemThread), for tests
// and the verifier.
#pragma once

#include "ntddk.h"

namespace sim::kernel {

// Pause point (sim/core/race.h): the new thread runs, its creator has not got
// its handle back yet.
inline constexpr const char* kSystemThreadStarted =
    "PsCreateSystemThread: thread started, its handle not yet returned";

// Pause point: a reference to a thread object is about to be dropped
// (ObfDereferenceObject); the object is the thread's KTHREAD.
inline constexpr const char* kThreadReferenceDropped =
    "ObfDereferenceObject: a thread reference is about to be dropped";

// Thread objects alive: started and not yet both ended and released (no
// handle and no reference left).
size_t LiveSystemThreadCount();
// System threads asleep in a wait or a delay right now. A test that counts
// a driver thread's calls step by step waits for the thread to be parked
// first, so that none of its calls falls into the next step.
size_t SystemThreadsAsleep();
// Blocks until every system thread started so far has ended, at most
// 'limitMs' host milliseconds; false when one is still running.
bool WaitForSystemThreads(unsigned limitMs = 10000);

} // namespace sim::kernel

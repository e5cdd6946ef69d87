// Where the CPU goes: the driver's own threads and routines, apart from the
// simulated machine around them (sticks, HID class, class driver).
//
// Every system thread (PsCreateSystemThread: only drivers start them) is
// counted on its own CPU clock, while it runs and after it has ended. The
// driver's request completion routines run on whatever thread completes the
// request (a stick's, at DISPATCH_LEVEL); while CountCompletionRoutines(true)
// is in force, the framework times each one that runs outside a system
// thread, so nothing is counted twice. Timing costs two clock reads per
// completion (a system call each, hundreds of nanoseconds on a virtual
// machine), which is why it is off unless asked for; what one timed
// interval costs with nothing in it is measured when counting starts and
// taken off each completion's time.
#pragma once

#include <stdint.h>

namespace sim::kernel::cpu {

// CPU time of the calling thread, in nanoseconds.
int64_t ThisThreadNanos();
// CPU time used by all system threads so far, the ended ones included.
int64_t SystemThreadNanos();

void CountCompletionRoutines(bool on);
bool CountingCompletionRoutines();
// CPU time inside driver completion routines outside system threads, while
// counted, less the cost of the timing itself.
int64_t CompletionRoutineNanos();
uint64_t CompletionRoutinesTimed();
// What timing an empty interval costs, as measured when counting started.
int64_t TimingOverheadNanos();
void AddCompletionRoutineNanos(int64_t nanos);

// Called by a system thread as it starts and as it ends.
void SystemThreadStarted();
void SystemThreadEnding();

} // namespace sim::kernel::cpu

// The clock that kernel time-outs run on.
//
// By default relative time-outs (waits, KeDelayExecutionThread) run on the
// host's steady clock. While a SimulatedClock lives, those of the driver's
// system threads (PsCreateSystemThread) run on a clock that only the test
// moves, so a wait of seconds can be ended at once and a wait that must not
// end yet provably does not. Every other thread keeps the host clock.
#pragma once

#include <chrono>

namespace sim::kernel {

class SimulatedClock {
  public:
    SimulatedClock();
    // Timed waits still pending then end as if their time had passed.
    ~SimulatedClock();
    SimulatedClock(const SimulatedClock&) = delete;
    SimulatedClock& operator=(const SimulatedClock&) = delete;

    // Moves the clock forward; every timed wait whose time has come ends.
    void Advance(std::chrono::nanoseconds by);
    // Threads blocked now in a wait with a time-out on this clock.
    unsigned TimedWaiters() const;
    // Blocks (on the host clock, at most 'limit') until at least 'count'
    // threads are in a timed wait; false when they never got there.
    bool WaitForTimedWaiters(unsigned count,
                             std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
};

// For tests: the calling thread's timed waits also run on the simulated clock
// (a manager thread whose bounded waits a test must move past), or no longer.
void PutCurrentThreadOnSimulatedClock(bool on);

} // namespace sim::kernel

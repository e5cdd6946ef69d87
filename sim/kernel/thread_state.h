// Per-thread kernel state: every host thread that enters the simulated kernel
// gets a KTHREAD and an IRQL of its own.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "ntddk.h"

struct _KTHREAD {
    // Waitable like any dispatcher object: signalled once the thread has ended.
    DISPATCHER_HEADER Header;
    ULONG Magic;
    KPRIORITY Priority;
    std::string Name;
    // Set by an alert, consumed by the next alertable wait (under the
    // dispatcher lock).
    bool Alerted = false;
    // Kernel mutexes the thread owns, in the order it took them (guarded by
    // the dispatcher lock).
    std::vector<PKMUTEX> OwnedMutexes;
    // A driver's system thread may wait without a time-out for as long as
    // its device lives; every other thread's unbounded waits are watched.
    bool UnboundedWaits = false;
    // A driver's system thread: its timed waits run on the simulated clock
    // while one is active (sim/kernel/clock.h).
    bool SystemThread = false;
    // Any other thread a test has put on the simulated clock as well.
    bool OnSimulatedClock = false;
};

namespace sim::kernel {

inline constexpr ULONG kThreadMagic = 0x64726854; // "Thrd"

PKTHREAD CurrentThread();
const char* CurrentThreadName();
// Names the calling thread in verifier messages ("pnp", "stick", ...).
void SetCurrentThreadName(const char* name);
KIRQL CurrentIrql();
// Makes 'thread' the calling host thread's KTHREAD (a system thread's own
// object, which outlives the host thread while referenced).
void AdoptThread(PKTHREAD thread);

// Alerts a thread: its current or next alertable wait ends with
// STATUS_ALERTED. Non-alertable waits do not see it.
void AlertThread(PKTHREAD thread);
// Marks a thread object as ended: waits on it are satisfied from now on.
void SignalThreadEnded(PKTHREAD thread);

// Called when a work item's routine or a system thread's start routine
// returns: the thread must be back at PASSIVE_LEVEL and own no mutex, or the
// verifier stops naming 'what' and 'irqlRule' (the rule for a raised IRQL).
// Marks the calling thread as a driver's system thread for the wait watchdog.
void AllowUnboundedWaits();

void CheckRoutineReturn(const char* what, const char* irqlRule);

// Raises the calling thread to 'irql' for its lifetime (for tests and peers
// that model a caller at DISPATCH_LEVEL).
class ScopedIrql {
  public:
    explicit ScopedIrql(KIRQL irql);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

  private:
    KIRQL old_;
};

} // namespace sim::kernel

// Pause points: places in the simulator where a test holds a thread, so that
// a race between two threads happens in the order the test chooses, every
// time, and the test can tell that the window it aimed at was reached.
#pragma once

#include <chrono>
#include <string>

namespace sim::race {

// Names of the points, so tests and the simulator agree on them.
inline constexpr const char* kCancelRoutineTaken =
    "IoCancelIrp: cancel routine taken out of the IRP, not yet called";
inline constexpr const char* kCancelRoutineInstalled = "IoSetCancelRoutine: routine installed";
inline constexpr const char* kCancelLockReleasedByRoutine =
    "IoReleaseCancelSpinLock: released by the cancel routine";
inline constexpr const char* kCancelLockContended =
    "IoAcquireCancelSpinLock: waiting for the cancel spin lock";
inline constexpr const char* kDelayExecution = "KeDelayExecutionThread";
// The object is the rundown reference: holders are out, and the rundown is
// about to wait for them.
inline constexpr const char* kRundownWaiting =
    "ExWaitForRundownProtectionRelease: waiting for holders to leave";
// The object is the event, not yet signalled.
inline constexpr const char* kEventAboutToBeSet = "KeSetEvent: about to signal";
// The object is the lock: a thread found it held and starts to spin; a
// thread released it and is back at its caller's IRQL.
inline constexpr const char* kSpinLockContended = "spin lock: held by another thread, spinning";
inline constexpr const char* kSpinLockReleased = "KeReleaseSpinLock: released, IRQL restored";

// Called by the simulator where a race window opens. 'object' narrows the
// point to one IRP (or lock); null when the point has no object.
void Point(const char* name, const void* object);

// Arms one point for one thread. A Hold keeps the first thread that reaches
// the point there until Release() (or the Hold's end); a Note only records
// that a thread got there. Only threads named 'threadName' match when it is
// given; only the given object matches when it is not null.
class Pause {
  public:
    enum Mode { Hold, Note };
    Pause(const char* name, const void* object = nullptr, Mode mode = Hold,
          const char* threadName = nullptr);
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

    // Whether a thread has reached the point.
    bool Hit() const;
    // Waits until a thread reaches the point; false after 'limit'.
    bool WaitHit(std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    // Lets a held thread go on (and lets a later one pass straight through).
    void Release();

    struct State;

  private:
    State* state_;
};

} // namespace sim::race

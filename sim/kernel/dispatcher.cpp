// Events, mutexes and the waits on them.
//
// One dispatcher lock guards every object's signal state, as the dispatcher
// database lock does on Windows. A blocked thread links a wait block naming
// its objects and sleeps on a condition variable of its own; signalling an
// object wakes only the threads that wait on it, as the kernel's per-object
// wait lists do, so a busy event does not wake every sleeping thread.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "sim/core/fault.h"
#include "sim/core/race.h"
#include "sim/core/watchdog.h"
#include "sim/core/verifier.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/system_thread.h"
#include "sim/kernel/thread_state.h"

namespace sim::kernel {
namespace {

enum : UCHAR {
    kNotificationEvent = 0,
    kSynchronizationEvent = 1,
    kMutant = 2,
    kThread = 6,
};

std::mutex g_dispatcher;
// Only for WaitForTimedWaiters: told when a thread starts a simulated timed wait.
std::condition_variable g_timedWaitersChanged;

// What a host thread sleeps on. Sleepers are never freed: a thread that ends
// hands its own back for the next thread, so a waker may notify one after
// releasing the dispatcher lock (at worst a thread wakes once for nothing
// and looks at its objects again).
struct Sleeper {
    std::condition_variable wake;
    Sleeper* nextFree = nullptr;
};
Sleeper* g_freeSleepers = nullptr; // under the dispatcher lock

class ThreadSleeper {
  public:
    // With the dispatcher lock held.
    Sleeper* Get() {
        if (sleeper_ == nullptr) {
            if (g_freeSleepers != nullptr) {
                sleeper_ = g_freeSleepers;
                g_freeSleepers = sleeper_->nextFree;
            } else {
                sleeper_ = new Sleeper;
            }
        }
        return sleeper_;
    }
    ~ThreadSleeper() {
        if (sleeper_ != nullptr) {
            std::lock_guard<std::mutex> guard(g_dispatcher);
            sleeper_->nextFree = g_freeSleepers;
            g_freeSleepers = sleeper_;
        }
    }

  private:
    Sleeper* sleeper_ = nullptr;
};
thread_local ThreadSleeper t_sleeper;

// The threads a signal woke, told once the dispatcher lock is released, so
// that they do not wake only to wait for the lock their waker still holds.
class Wakeups {
  public:
    Wakeups() = default;
    ~Wakeups() { Notify(); }
    Wakeups(const Wakeups&) = delete;
    Wakeups& operator=(const Wakeups&) = delete;

    // With the dispatcher lock held.
    void Add(Sleeper* sleeper) {
        if (count_ < kInline) {
            few_[count_++] = sleeper;
        } else {
            sleeper->wake.notify_one(); // rare: told under the lock
        }
    }
    // Without the lock.
    void Notify() {
        for (size_t i = 0; i < count_; ++i) {
            few_[i]->wake.notify_one();
        }
        count_ = 0;
    }

  private:
    static constexpr size_t kInline = 8;
    Sleeper* few_[kInline];
    size_t count_ = 0;
};

// A thread blocked in a wait or a delay, linked while it sleeps (under the
// dispatcher lock). A delay waits on no object.
struct WaitBlock {
    DISPATCHER_HEADER** objects = nullptr;
    ULONG count = 0;
    PKTHREAD thread = nullptr;
    bool simulatedDeadline = false;
    Sleeper* sleeper = nullptr;
    WaitBlock* prev = nullptr;
    WaitBlock* next = nullptr;
};

// The list's head, constant-initialised so that no wait ever sees it unlinked.
WaitBlock g_waiters{nullptr, 0, nullptr, false, nullptr, &g_waiters, &g_waiters};

// Links the calling thread's block for as long as it sleeps in one wait.
// Built and destroyed with the dispatcher lock held.
class LinkedWait {
  public:
    LinkedWait(DISPATCHER_HEADER** objects, ULONG count, PKTHREAD thread, bool simulated) {
        block_.objects = objects;
        block_.count = count;
        block_.thread = thread;
        block_.simulatedDeadline = simulated;
        block_.sleeper = t_sleeper.Get();
    }
    void Link() {
        if (linked_) {
            return;
        }
        linked_ = true;
        block_.next = &g_waiters;
        block_.prev = g_waiters.prev;
        g_waiters.prev->next = &block_;
        g_waiters.prev = &block_;
    }
    ~LinkedWait() {
        if (linked_) {
            block_.prev->next = block_.next;
            block_.next->prev = block_.prev;
        }
    }
    LinkedWait(const LinkedWait&) = delete;
    LinkedWait& operator=(const LinkedWait&) = delete;

    std::condition_variable& Wake() { return block_.sleeper->wake; }

  private:
    WaitBlock block_;
    bool linked_ = false;
};

// With the dispatcher lock held: every thread waiting on 'h'.
void WakeWaitersOf(DISPATCHER_HEADER* h, Wakeups& wakeups) {
    for (WaitBlock* b = g_waiters.next; b != &g_waiters; b = b->next) {
        for (ULONG i = 0; i < b->count; ++i) {
            if (b->objects[i] == h) {
                wakeups.Add(b->sleeper);
                break;
            }
        }
    }
}

// With the dispatcher lock held: 'thread' wherever it waits (an alert).
void WakeThread(PKTHREAD thread, Wakeups& wakeups) {
    for (WaitBlock* b = g_waiters.next; b != &g_waiters; b = b->next) {
        if (b->thread == thread) {
            wakeups.Add(b->sleeper);
        }
    }
}

// With the dispatcher lock held: the simulated clock moved or ended.
void WakeSimulatedTimedWaiters(Wakeups& wakeups) {
    for (WaitBlock* b = g_waiters.next; b != &g_waiters; b = b->next) {
        if (b->simulatedDeadline) {
            wakeups.Add(b->sleeper);
        }
    }
}

bool IsSignalled(DISPATCHER_HEADER* h, PKTHREAD self) {
    if (h->Type == kMutant) {
        auto* m = reinterpret_cast<PKMUTEX>(h);
        return h->SignalState > 0 || m->OwnerThread == self;
    }
    return h->SignalState != 0;
}

// Called with the lock held, for an object that IsSignalled().
void Satisfy(DISPATCHER_HEADER* h, PKTHREAD self) {
    switch (h->Type) {
    case kSynchronizationEvent:
        h->SignalState = 0;
        break;
    case kMutant: {
        auto* m = reinterpret_cast<PKMUTEX>(h);
        if (h->SignalState == 1) {
            self->OwnedMutexes.push_back(m);
        }
        h->SignalState -= 1;
        m->OwnerThread = self;
        break;
    }
    default:
        break;
    }
}

void CheckWaitable(DISPATCHER_HEADER* h, const char* api) {
    if (h == nullptr || (h->Type != kNotificationEvent && h->Type != kSynchronizationEvent &&
                         h->Type != kMutant && h->Type != kThread)) {
        VerifierStop(rule::kInvalidHandle, api,
                     "wait on an object that is not an initialised "
                     "dispatcher object");
    }
}

using Clock = std::chrono::steady_clock;

// The simulated clock, under the dispatcher lock. Each start and end of a
// SimulatedClock opens a new epoch; a wait from an earlier epoch has expired.
struct SimulatedTime {
    bool active = false;
    unsigned epoch = 0;
    LONGLONG now = 0; // 100 ns units
    unsigned waiters = 0;
};
SimulatedTime g_simTime;

// When a timed wait ends: on the host clock, or on the simulated one.
struct Deadline {
    bool forever = true;
    bool simulated = false;
    Clock::time_point host{};
    unsigned epoch = 0;
    LONGLONG ticks = 0;
};

// Converts a kernel time-out (negative: relative, in 100 ns; positive: absolute
// system time) to a deadline. Null means wait forever. Called with the lock.
Deadline DeadlineOf(PLARGE_INTEGER timeout, PKTHREAD self) {
    Deadline d;
    if (timeout == nullptr) {
        return d;
    }
    d.forever = false;
    LONGLONG ticks = timeout->QuadPart;
    if (ticks > 0) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        ticks = now.QuadPart - ticks; // remaining time, as a negative relative count
        if (ticks > 0) {
            ticks = 0;
        }
    }
    if (g_simTime.active && (self->SystemThread || self->OnSimulatedClock)) {
        d.simulated = true;
        d.epoch = g_simTime.epoch;
        d.ticks = g_simTime.now - ticks;
    } else {
        d.host = Clock::now() + std::chrono::nanoseconds(-ticks * 100);
    }
    return d;
}

bool SimulatedExpired(const Deadline& d) {
    return d.epoch != g_simTime.epoch || g_simTime.now >= d.ticks;
}

// Sleeps until woken or the deadline passes; true once it has passed.
bool SleepUntil(std::unique_lock<std::mutex>& lock, const Deadline& d, LinkedWait& block) {
    block.Link();
    if (d.forever) {
        block.Wake().wait(lock);
        return false;
    }
    if (!d.simulated) {
        return block.Wake().wait_until(lock, d.host) == std::cv_status::timeout;
    }
    if (SimulatedExpired(d)) {
        return true;
    }
    ++g_simTime.waiters;
    g_timedWaitersChanged.notify_all();
    block.Wake().wait(lock);
    --g_simTime.waiters;
    return SimulatedExpired(d);
}

// Checked before anything else, injected failures included: a wait that may
// block at DISPATCH_LEVEL is a bug whether or not it would have blocked.
void CheckMayBlock(PLARGE_INTEGER timeout, const char* api) {
    KIRQL irql = CurrentIrql();
    bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
    if (irql >= DISPATCH_LEVEL && !zeroTimeout) {
        VerifierStop(rule::kBlockingWaitAtDispatch, api,
                     "a wait that may block was made at IRQL %u; only a zero time-out is allowed "
                     "at DISPATCH_LEVEL",
                     irql);
    }
}

// For the watchdog's message, with the dispatcher lock held.
std::string DescribeWait(ULONG count, DISPATCHER_HEADER** objects, WAIT_TYPE waitType) {
    std::string text = count > 1 ? (waitType == WaitAny ? "any of " : "all of ") : "";
    for (ULONG i = 0; i < count; ++i) {
        char one[128];
        const char* kind = objects[i]->Type == kMutant                 ? "mutex"
                           : objects[i]->Type == kSynchronizationEvent ? "synchronization event"
                           : objects[i]->Type == kNotificationEvent    ? "notification event"
                                                                       : "thread";
        snprintf(one, sizeof(one), "%s%s %p", i > 0 ? ", " : "", kind,
                 static_cast<void*>(objects[i]));
        text += one;
        if (objects[i]->Type == kMutant) {
            PKTHREAD owner = reinterpret_cast<PKMUTEX>(objects[i])->OwnerThread;
            text += owner != nullptr ? " owned by '" + owner->Name + "'" : " (free)";
        }
    }
    return text + ", with no time-out";
}

NTSTATUS Wait(ULONG count, DISPATCHER_HEADER** objects, WAIT_TYPE waitType, BOOLEAN alertable,
              PLARGE_INTEGER timeout, const char* api) {
    for (ULONG i = 0; i < count; ++i) {
        CheckWaitable(objects[i], api);
    }
    PKTHREAD self = CurrentThread();

    bool expired = false;
    bool watchdogStarted = false;
    Clock::time_point watchdog{};
    std::unique_lock<std::mutex> lock(g_dispatcher);
    Deadline deadline = DeadlineOf(timeout, self);
    LinkedWait block(objects, count, self, deadline.simulated);
    for (;;) {
        if (waitType == WaitAny) {
            for (ULONG i = 0; i < count; ++i) {
                if (IsSignalled(objects[i], self)) {
                    Satisfy(objects[i], self);
                    return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                }
            }
        } else {
            bool all = true;
            for (ULONG i = 0; i < count && all; ++i) {
                all = IsSignalled(objects[i], self);
            }
            if (all) {
                for (ULONG i = 0; i < count; ++i) {
                    Satisfy(objects[i], self);
                }
                return STATUS_WAIT_0;
            }
        }
        if (alertable && self->Alerted) {
            self->Alerted = false;
            return STATUS_ALERTED;
        }
        if (expired) {
            return STATUS_TIMEOUT;
        }
        if (!deadline.forever) {
            // After the deadline, look at the objects once more before giving up.
            expired = SleepUntil(lock, deadline, block);
        } else if (self->UnboundedWaits) {
            block.Link();
            block.Wake().wait(lock);
        } else {
            if (!watchdogStarted) {
                watchdogStarted = true;
                watchdog = Clock::now() + watchdog::Bound();
            }
            block.Link();
            if (block.Wake().wait_until(lock, watchdog) == std::cv_status::timeout) {
                watchdog::Expired(api, DescribeWait(count, objects, waitType).c_str());
            }
        }
    }
}

// How a wait can end without its objects on Windows: alerted when alertable,
// timed out when it has a time-out; a kernel-mode wait with neither cannot.
NTSTATUS EarlyEndOfWait(BOOLEAN alertable, PLARGE_INTEGER timeout) {
    if (alertable) {
        return STATUS_ALERTED;
    }
    return timeout != nullptr ? STATUS_TIMEOUT : STATUS_SUCCESS;
}

} // namespace

void PutCurrentThreadOnSimulatedClock(bool on) {
    // Only the thread itself reads its flag, when it starts a timed wait.
    CurrentThread()->OnSimulatedClock = on;
}

SimulatedClock::SimulatedClock() {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    g_simTime.active = true;
    g_simTime.now = 0;
    ++g_simTime.epoch;
}

SimulatedClock::~SimulatedClock() {
    Wakeups wakeups;
    std::lock_guard<std::mutex> guard(g_dispatcher);
    g_simTime.active = false;
    ++g_simTime.epoch;
    WakeSimulatedTimedWaiters(wakeups);
}

void SimulatedClock::Advance(std::chrono::nanoseconds by) {
    Wakeups wakeups;
    std::lock_guard<std::mutex> guard(g_dispatcher);
    g_simTime.now += by.count() / 100;
    WakeSimulatedTimedWaiters(wakeups);
}

unsigned SimulatedClock::TimedWaiters() const {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    return g_simTime.waiters;
}

bool SimulatedClock::WaitForTimedWaiters(unsigned count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(g_dispatcher);
    return g_timedWaitersChanged.wait_for(lock, limit, [&] { return g_simTime.waiters >= count; });
}

size_t SystemThreadsAsleep() {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    size_t asleep = 0;
    for (const WaitBlock* b = g_waiters.next; b != &g_waiters; b = b->next) {
        asleep += b->thread != nullptr && b->thread->SystemThread ? 1 : 0;
    }
    return asleep;
}

void AlertThread(PKTHREAD thread) {
    Wakeups wakeups;
    std::lock_guard<std::mutex> guard(g_dispatcher);
    thread->Alerted = true;
    WakeThread(thread, wakeups);
}

// Once the lock is released a waiter may free the thread object: only the
// sleepers are told after it.
void SignalThreadEnded(PKTHREAD thread) {
    Wakeups wakeups;
    std::lock_guard<std::mutex> guard(g_dispatcher);
    thread->Header.SignalState = 1;
    WakeWaitersOf(&thread->Header, wakeups);
}

void CheckRoutineReturn(const char* what, const char* irqlRule) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        VerifierStop(irqlRule, what, "the routine returned at IRQL %u", KeGetCurrentIrql());
    }
    PKTHREAD self = CurrentThread();
    std::lock_guard<std::mutex> guard(g_dispatcher);
    if (!self->OwnedMutexes.empty()) {
        PKMUTEX mutex = self->OwnedMutexes.front();
        VerifierStop(rule::kRoutineReturnedOwningMutex, what,
                     "the routine returned owning mutex %p (acquired %d time(s)); a thread of "
                     "the system may not keep a mutex past its routine",
                     static_cast<void*>(mutex), 1 - static_cast<int>(mutex->Header.SignalState));
    }
}

} // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    RtlZeroMemory(Event, sizeof(*Event));
    Event->Header.Type = Type == SynchronizationEvent ? kSynchronizationEvent : kNotificationEvent;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::VerifierStop(sim::rule::kIrqlTooHigh, "KeSetEvent", "called at IRQL %u",
                          KeGetCurrentIrql());
    }
    sim::race::Point(sim::race::kEventAboutToBeSet, Event);
    Wakeups wakeups;
    std::lock_guard<std::mutex> guard(g_dispatcher);
    CheckWaitable(&Event->Header, "KeSetEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    WakeWaitersOf(&Event->Header, wakeups);
    return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    KeResetEvent(Event);
}

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    return Event->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    UNREFERENCED_PARAMETER(Level);
    std::lock_guard<std::mutex> guard(g_dispatcher);
    RtlZeroMemory(Mutex, sizeof(*Mutex));
    Mutex->Header.Type = kMutant;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.SignalState = 1;
    Mutex->Header.WaitListHead.Flink = &Mutex->Header.WaitListHead;
    Mutex->Header.WaitListHead.Blink = &Mutex->Header.WaitListHead;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Wait);
    PKTHREAD self = CurrentThread();
    LONG previous;
    Wakeups wakeups;
    {
        std::lock_guard<std::mutex> guard(g_dispatcher);
        if (Mutex->Header.Type != kMutant) {
            sim::VerifierStop(sim::rule::kInvalidHandle, "KeReleaseMutex",
                              "object at %p is not an initialised mutex",
                              static_cast<void*>(Mutex));
        }
        if (Mutex->OwnerThread != self || Mutex->Header.SignalState > 0) {
            sim::VerifierStop(sim::rule::kMutexNotOwned, "KeReleaseMutex",
                              "mutex %p released by thread '%s'; owner is %s",
                              static_cast<void*>(Mutex), self->Name.c_str(),
                              Mutex->OwnerThread ? Mutex->OwnerThread->Name.c_str() : "nobody");
        }
        previous = Mutex->Header.SignalState;
        Mutex->Header.SignalState += 1;
        if (Mutex->Header.SignalState == 1) {
            Mutex->OwnerThread = nullptr;
            auto& owned = self->OwnedMutexes;
            auto it = std::find(owned.begin(), owned.end(), Mutex);
            if (it != owned.end()) {
                owned.erase(it);
            }
            WakeWaitersOf(&Mutex->Header, wakeups);
        }
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    return Mutex->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    CheckMayBlock(Timeout, "KeWaitForSingleObject");
    NTSTATUS injected;
    // An injected status models a wait ended early (STATUS_ALERTED, STATUS_USER_APC,
    // STATUS_TIMEOUT): the object is not acquired.
    if (sim::fault::ShouldFail("KeWaitForSingleObject", &injected,
                               EarlyEndOfWait(Alertable, Timeout))) {
        return injected;
    }
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    return Wait(1, &header, WaitAny, Alertable, Timeout, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    if (Count > MAXIMUM_WAIT_OBJECTS ||
        (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
        sim::VerifierStop(sim::rule::kInvalidHandle, "KeWaitForMultipleObjects",
                          "%u objects need a wait block array", Count);
    }
    CheckMayBlock(Timeout, "KeWaitForMultipleObjects");
    NTSTATUS injected;
    if (sim::fault::ShouldFail("KeWaitForMultipleObjects", &injected,
                               EarlyEndOfWait(Alertable, Timeout))) {
        return injected;
    }
    return Wait(Count, reinterpret_cast<DISPATCHER_HEADER**>(Object), WaitType, Alertable, Timeout,
                "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    if (KeGetCurrentIrql() > APC_LEVEL) {
        sim::VerifierStop(sim::rule::kBlockingWaitAtDispatch, "KeDelayExecutionThread",
                          "called at IRQL %u", KeGetCurrentIrql());
    }
    sim::race::Point(sim::race::kDelayExecution, nullptr);
    if (Interval == nullptr) {
        return STATUS_SUCCESS;
    }
    PKTHREAD self = CurrentThread();
    std::unique_lock<std::mutex> lock(g_dispatcher);
    Deadline deadline = DeadlineOf(Interval, self);
    LinkedWait block(nullptr, 0, self, deadline.simulated);
    for (;;) {
        if (Alertable && self->Alerted) {
            self->Alerted = false;
            return STATUS_ALERTED;
        }
        if (SleepUntil(lock, deadline, block)) {
            return STATUS_SUCCESS;
        }
    }
}

ULONGLONG KeQueryInterruptTime(void) {
    {
        std::lock_guard<std::mutex> guard(g_dispatcher);
        if (g_simTime.active) {
            return static_cast<ULONGLONG>(g_simTime.now);
        }
    }
    return static_cast<ULONGLONG>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count() /
        100);
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    // 100 ns intervals since 1601-01-01, as Windows counts system time.
    constexpr LONGLONG kEpochDelta = 116444736000000000LL;
    auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    CurrentTime->QuadPart =
        kEpochDelta + std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}

} // extern "C"

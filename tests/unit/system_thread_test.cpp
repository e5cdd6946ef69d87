// System threads, references to them, alerts, wait-any order and the
// simulated clock that timed waits run on in tests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/core/fault.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/system_thread.h"
#include "sim/kernel/thread_state.h"

namespace {

struct ThreadRun {
    KEVENT go;
    std::atomic<int> stage{0};
    std::atomic<PKTHREAD> self{nullptr};
    std::atomic<KPRIORITY> priority{0};
};

VOID EndsWithTerminate(PVOID context) {
    auto* run = static_cast<ThreadRun*>(context);
    run->self = KeGetCurrentThread();
    KeSetPriorityThread(KeGetCurrentThread(), 28);
    run->priority = KeGetCurrentThread()->Priority;
    KeWaitForSingleObject(&run->go, Executive, KernelMode, FALSE, nullptr);
    run->stage = 1;
    PsTerminateSystemThread(STATUS_SUCCESS);
    run->stage = 2; // never reached
}

VOID Returns(PVOID context) {
    static_cast<ThreadRun*>(context)->stage = 1;
}

// A thread-local object whose destructor takes its time, as a host thread's
// own thread-local storage does when it goes.
struct SlowToGo {
    std::atomic<bool>* gone = nullptr;
    ~SlowToGo() {
        if (gone != nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            gone->store(true);
        }
    }
};

VOID LeavesThreadLocalState(PVOID context) {
    thread_local SlowToGo state;
    state.gone = static_cast<std::atomic<bool>*>(context);
}

HANDLE Start(PKSTART_ROUTINE routine, void* run) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                   routine, run),
              STATUS_SUCCESS);
    return handle;
}

class SystemThreadTest : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_TRUE(sim::kernel::WaitForSystemThreads());
        EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 0u);
    }
    sim::fault::Scope faults_;
};

TEST_F(SystemThreadTest, AReferencedThreadObjectOutlivesItsHandleAndIsSignalledWhenItEnds) {
    ThreadRun run;
    KeInitializeEvent(&run.go, SynchronizationEvent, FALSE);
    HANDLE handle = Start(EndsWithTerminate, &run);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(sim::kernel::IsKernelHandle(handle));
    PVOID object = nullptr;
    ASSERT_EQ(
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&run.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(run.stage.load(), 1); // nothing after PsTerminateSystemThread ran
    EXPECT_EQ(run.self.load(), object);
    EXPECT_EQ(run.priority.load(), 28);
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 1u); // the reference keeps it
    ObDereferenceObject(object);
}

TEST_F(SystemThreadTest, AThreadThatReturnsEndsAsWellAndItsHandleStillNeedsClosing) {
    ThreadRun run;
    HANDLE handle = Start(Returns, &run);
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_EQ(run.stage.load(), 1);
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 1u);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(SystemThreadTest, OnlyASystemThreadParkedInAWaitCountsAsAsleep) {
    ThreadRun run;
    KeInitializeEvent(&run.go, SynchronizationEvent, FALSE);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    // A host thread of the test's own, waiting as well, is not counted.
    std::thread host([&] {
        LARGE_INTEGER shortly;
        shortly.QuadPart = -10 * 1000 * 300; // 300 ms
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &shortly);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sim::kernel::SystemThreadsAsleep(), 0u);
    HANDLE handle = Start(EndsWithTerminate, &run);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sim::kernel::SystemThreadsAsleep() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(sim::kernel::SystemThreadsAsleep(), 1u);
    EXPECT_EQ(run.stage.load(), 0);
    KeSetEvent(&run.go, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_EQ(run.stage.load(), 1);
    EXPECT_EQ(sim::kernel::SystemThreadsAsleep(), 0u);
    host.join();
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(SystemThreadTest, AWaitForTheThreadsEndsOnlyOnceTheirThreadLocalStateIsGone) {
    // A leak check right after the wait must not find a thread half gone.
    std::atomic<bool> gone{false};
    HANDLE handle = Start(LeavesThreadLocalState, &gone);
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_TRUE(gone.load());
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(SystemThreadTest, CreationAndReferenceFailOnRequestAndOnBadHandles) {
    ThreadRun run;
    sim::fault::FailNthCall("PsCreateSystemThread", 1, STATUS_INSUFFICIENT_RESOURCES);
    HANDLE handle = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Returns, &run),
        STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(
        PsCreateSystemThread(nullptr, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Returns, &run),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(run.stage.load(), 0);

    PVOID object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), THREAD_ALL_ACCESS,
                                        nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(object, nullptr);

    handle = Start(Returns, &run);
    sim::fault::FailNthCall("ObReferenceObjectByHandle", 1, STATUS_ACCESS_DENIED);
    EXPECT_EQ(
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr),
        STATUS_ACCESS_DENIED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_TRUE(sim::kernel::WaitForSystemThreads()); // before 'run' goes
}

TEST(KernelWaits, WaitAnyTakesTheFirstSignalledObjectInArrayOrderAndResetsOnlyIt) {
    KEVENT stop, done;
    KeInitializeEvent(&stop, SynchronizationEvent, FALSE);
    KeInitializeEvent(&done, SynchronizationEvent, FALSE);
    PVOID objects[2] = {&stop, &done};
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, TRUE, nullptr,
                                       nullptr),
              STATUS_WAIT_0);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, TRUE, nullptr,
                                       nullptr),
              STATUS_WAIT_1);
}

TEST(KernelWaits, AnAlertEndsOnlyAnAlertableWait) {
    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    std::atomic<PKTHREAD> waiter{nullptr};
    std::atomic<NTSTATUS> alertable{STATUS_PENDING}, plain{STATUS_PENDING};
    LARGE_INTEGER shortWait;
    shortWait.QuadPart = -50 * 10000;
    std::thread t([&] {
        waiter = KeGetCurrentThread();
        plain = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &shortWait);
        alertable = KeWaitForSingleObject(&never, Executive, KernelMode, TRUE, nullptr);
    });
    while (waiter.load() == nullptr) {
        std::this_thread::yield();
    }
    sim::kernel::AlertThread(waiter.load());
    t.join();
    // The alert came while the thread was in its plain wait or before it: that
    // wait timed out, the alertable one took the alert.
    EXPECT_EQ(plain.load(), STATUS_TIMEOUT);
    EXPECT_EQ(alertable.load(), STATUS_ALERTED);
}

struct TimedWait {
    KEVENT never;
    std::atomic<NTSTATUS> result{STATUS_PENDING};
};

VOID WaitsFiveSeconds(PVOID context) {
    auto* wait = static_cast<TimedWait*>(context);
    LARGE_INTEGER fiveSeconds;
    fiveSeconds.QuadPart = -50000000;
    wait->result = KeWaitForSingleObject(&wait->never, Executive, KernelMode, TRUE, &fiveSeconds);
}

TEST_F(SystemThreadTest, OnTheSimulatedClockASystemThreadsWaitEndsOnlyWhenTheClockPassesIt) {
    sim::kernel::SimulatedClock clock;
    TimedWait wait;
    KeInitializeEvent(&wait.never, SynchronizationEvent, FALSE);
    HANDLE handle = Start(WaitsFiveSeconds, &wait);
    ASSERT_TRUE(clock.WaitForTimedWaiters(1));
    // Other threads keep the host clock.
    LARGE_INTEGER shortWait;
    shortWait.QuadPart = -10 * 10000;
    EXPECT_EQ(KeWaitForSingleObject(&wait.never, Executive, KernelMode, FALSE, &shortWait),
              STATUS_TIMEOUT);
    clock.Advance(std::chrono::milliseconds(4999));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(wait.result.load(), STATUS_PENDING);
    EXPECT_EQ(clock.TimedWaiters(), 1u);
    clock.Advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_EQ(wait.result.load(), STATUS_TIMEOUT);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

using SystemThreadDeathTest = SystemThreadTest;

VOID EndsAtDispatchLevel(PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

TEST_F(SystemThreadDeathTest, AThreadEndingAtRaisedIrqlOrDroppingAReferenceTwiceStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            HANDLE handle = Start(EndsAtDispatchLevel, nullptr);
            (void)handle;
            sim::kernel::WaitForSystemThreads();
        },
        "returned at IRQL 2");
    EXPECT_DEATH(
        {
            ThreadRun run;
            HANDLE handle = Start(Returns, &run);
            PVOID object;
            ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object,
                                      nullptr);
            sim::kernel::WaitForSystemThreads();
            ObDereferenceObject(object);
            ObDereferenceObject(object);
        },
        "no reference left to drop");
}

} // namespace

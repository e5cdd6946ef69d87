// Worker threads: launching on a record, leaving a running thread alone,
// cleaning up after one that ended, stopping with a bounded wait, and a
// thread that leaves before its launcher has stored its handle.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "hid/worker_record.h"
#include "sim/core/fault.h"
#include "sim/core/race.h"
#include "sim/core/trace_sink.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/system_thread.h"

namespace {

struct Worker {
    WORKER_RECORD record{};
    KEVENT release;
};

// Does a worker's duties at once: leaves as soon as it starts.
VOID LeavesAtOnce(PVOID context) {
    ThreadFinish(&static_cast<Worker*>(context)->record);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Waits for the test to let it go, ignoring stop requests, then leaves.
VOID LeavesWhenReleased(PVOID context) {
    auto* worker = static_cast<Worker*>(context);
    KeWaitForSingleObject(&worker->release, Executive, KernelMode, FALSE, nullptr);
    ThreadFinish(&worker->record);
}

// Stops a worker from a system thread of its own, whose timed waits run on
// the simulated clock.
struct Stopper {
    Worker* worker;
    ULONG boundMs;
    std::atomic<NTSTATUS> result{STATUS_PENDING};
};

VOID StopsTheWorker(PVOID context) {
    auto* stopper = static_cast<Stopper*>(context);
    stopper->result = ThreadRecover(&stopper->worker->record, stopper->boundMs);
}

bool WaitForResult(const std::atomic<NTSTATUS>& result, NTSTATUS expected) {
    for (int i = 0; i < 1000 && result.load() != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return result.load() == expected;
}

class WorkerThreadTest : public ::testing::Test {
  protected:
    WorkerThreadTest() { KeInitializeEvent(&worker_.release, NotificationEvent, FALSE); }
    void TearDown() override {
        KeSetEvent(&worker_.release, IO_NO_INCREMENT, FALSE);
        EXPECT_TRUE(sim::kernel::WaitForSystemThreads());
        EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 0u);
        EXPECT_EQ(sim::kernel::OpenHandleCount("Thread"), 0u);
    }
    sim::fault::Scope faults_;
    sim::trace::Capture trace_;
    Worker worker_;
};

TEST_F(WorkerThreadTest, AThreadLeavingAtOnceWaitsUntilItsLauncherStoredHandleAndReference) {
    // The launcher is held right after the thread started: without the
    // launch signal the thread would find no handle or reference to release.
    sim::race::Pause started(sim::kernel::kSystemThreadStarted);
    NTSTATUS launched = STATUS_PENDING;
    std::thread launcher([&] { launched = ThreadLaunch(LeavesAtOnce, &worker_, &worker_.record); });
    ASSERT_TRUE(started.WaitHit());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(worker_.record.State, WORKER_TERMINATED);
    started.Release();
    launcher.join();
    EXPECT_EQ(launched, STATUS_SUCCESS);
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_TRUE(trace_.Contains("Quillex!ThreadLaunch: Auto-initializing worker structure"));
    EXPECT_EQ(worker_.record.State, WORKER_TERMINATED);
    EXPECT_EQ(worker_.record.hThread, nullptr);
    EXPECT_EQ(worker_.record.m_pThreadObj, nullptr);
}

TEST_F(WorkerThreadTest, ARunningThreadIsLeftAloneAndAStopTimesOutWhenItDoesNotConfirm) {
    ASSERT_EQ(ThreadInit(&worker_.record), STATUS_SUCCESS);
    ASSERT_EQ(ThreadLaunch(LeavesWhenReleased, &worker_, &worker_.record), STATUS_SUCCESS);
    HANDLE first = worker_.record.hThread;
    ASSERT_EQ(ThreadLaunch(LeavesWhenReleased, &worker_, &worker_.record), STATUS_SUCCESS);
    EXPECT_EQ(worker_.record.hThread, first);
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 1u);

    EXPECT_EQ(ThreadRecover(&worker_.record, 7), STATUS_TIMEOUT);
    EXPECT_TRUE(
        trace_.Contains("Quillex!ThreadRecover: SHUTDOWN error KeWaitForSingleObject - 102"));
    EXPECT_TRUE(trace_.Contains("Quillex!ThreadRecover: *****TBD*****"));
    KeSetEvent(&worker_.release, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(ThreadRecover(&worker_.record, 1000), STATUS_SUCCESS);
}

// The stop's bound is in milliseconds: a 7 ms stop is still waiting a
// microsecond before 7 ms have passed on the clock, and gives up at 7 ms.
TEST_F(WorkerThreadTest, AStopsBoundIsCountedInMilliseconds) {
    sim::kernel::SimulatedClock clock;
    ASSERT_EQ(ThreadLaunch(LeavesWhenReleased, &worker_, &worker_.record), STATUS_SUCCESS);
    Stopper stopper{&worker_, 7};
    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(PsCreateSystemThread(&handle, 0x001FFFFF, &attributes, nullptr, nullptr,
                                   StopsTheWorker, &stopper),
              STATUS_SUCCESS);
    ZwClose(handle);
    ASSERT_TRUE(clock.WaitForTimedWaiters(1));
    clock.Advance(std::chrono::microseconds(6999));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(stopper.result.load(), STATUS_PENDING) << "the stop gave up before 7 ms";
    clock.Advance(std::chrono::microseconds(1));
    EXPECT_TRUE(WaitForResult(stopper.result, STATUS_TIMEOUT));
    KeSetEvent(&worker_.release, IO_NO_INCREMENT, FALSE);
}

TEST_F(WorkerThreadTest, ATerminatedRecordStillHoldingItsThreadIsCleanedUpBeforeANewLaunch) {
    ASSERT_EQ(ThreadLaunch(LeavesWhenReleased, &worker_, &worker_.record), STATUS_SUCCESS);
    // A thread that ends without its duties leaves handle and reference.
    HANDLE handle = worker_.record.hThread;
    PVOID object = worker_.record.m_pThreadObj;
    worker_.record.hThread = nullptr;
    worker_.record.m_pThreadObj = nullptr;
    KeSetEvent(&worker_.release, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    worker_.record.hThread = handle;
    worker_.record.m_pThreadObj = object;
    worker_.record.State = WORKER_TERMINATED;

    ASSERT_EQ(ThreadLaunch(LeavesAtOnce, &worker_, &worker_.record), STATUS_SUCCESS);
    EXPECT_TRUE(trace_.Contains("(Thread already terminated but not cleaned up)"));
    EXPECT_TRUE(trace_.Contains("Quillex!ThreadLaunch: ZwClose(pWorker->hThread)"));
    EXPECT_TRUE(
        trace_.Contains("Quillex!ThreadLaunch: ObDereferenceObject(pWorker->m_pThreadObj)"));
    // The new thread ran and cleaned up after itself; TearDown checks that
    // no handle, the old one included, is left open.
    EXPECT_TRUE(trace_.Contains("Quillex!ThreadLaunch: Launched worker thread"));
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_EQ(ThreadState(&worker_.record), WORKER_TERMINATED);
}

TEST_F(WorkerThreadTest, BadArgumentsAndFailedCreationsAreReported) {
    EXPECT_EQ(ThreadInit(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ThreadRecover(nullptr, 7), STATUS_SUCCESS);
    EXPECT_EQ(ThreadLaunch(nullptr, &worker_, &worker_.record), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ThreadLaunch(LeavesAtOnce, &worker_, nullptr), STATUS_INVALID_PARAMETER);

    sim::fault::FailNthCall("PsCreateSystemThread", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ThreadLaunch(LeavesAtOnce, &worker_, &worker_.record), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(
        trace_.Contains("Quillex!ThreadLaunch: Error - PsCreateSystemThread failed - c000009a"));
    EXPECT_EQ(worker_.record.hThread, nullptr);

    // Without a thread object there is nothing to wait for: the stop stays
    // signalled for the next wait.
    ASSERT_EQ(ThreadInit(&worker_.record), STATUS_SUCCESS);
    EXPECT_EQ(ThreadRecover(&worker_.record, 7), STATUS_SUCCESS);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(
        KeWaitForSingleObject(&worker_.record.EV_STOP_THREAD, Executive, KernelMode, FALSE, &zero),
        STATUS_SUCCESS);
}

} // namespace

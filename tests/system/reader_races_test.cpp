// The reader thread's record between the threads that share it: an open
// launching the reader while the hardware is released, an open arriving
// while an earlier reader is still clearing the record on its way out, and
// a stop that must not take an earlier reader's confirmation for the
// running one's. Each window is held open with a pause point.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/core/race.h"
#include "tests/support/reader_stack.h"

namespace quillex_test {
namespace {

using ReaderRaceTest = ReaderStackTest;

// The reader ends on its own: the shadow target cannot be opened.
void EndTheReaderOnItsOwn(sim::kernel::SimulatedClock* clock) {
    sim::fault::FailNthCall("WdfIoTargetOpen", 1, STATUS_DEVICE_NOT_READY);
    ASSERT_TRUE(clock->WaitForTimedWaiters(1));
    clock->Advance(std::chrono::seconds(5));
}

TEST_F(ReaderRaceTest, OpensCompletingTogetherStartOneReader) {
    DeviceId id = PlugStick(0x0403);
    // The first open's launch has started the thread and not yet stored its
    // handle when the second open completes.
    sim::race::Pause launching(sim::kernel::kSystemThreadStarted);
    std::thread first([&] { EXPECT_EQ(OpenApp(id), STATUS_SUCCESS); });
    ASSERT_TRUE(launching.WaitHit());
    sim::io::File second;
    std::thread opener(
        [&] { EXPECT_EQ(second.Open(stack_.Interfaces(id).at(0), GENERIC_READ), STATUS_SUCCESS); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    launching.Release();
    first.join();
    opener.join();
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 1u);
    EXPECT_EQ(trace_.Count("Quillex!ThreadLaunch: Launched worker thread"), 1u);
    PassStartupWait(id);
    second.Close();
}

TEST_F(ReaderRaceTest, AReleaseDuringALaunchWaitsForItAndStopsTheThreadItStarted) {
    DeviceId id = PlugStick(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    // The open's completion has started the thread and not yet stored its
    // handle when the hardware is released.
    sim::race::Pause launching(sim::kernel::kSystemThreadStarted);
    std::thread opener([&] { EXPECT_EQ(OpenApp(id), STATUS_SUCCESS); });
    ASSERT_TRUE(launching.WaitHit());
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        EXPECT_EQ(stack_.Stop(id), STATUS_SUCCESS);
        stopped = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return QuillexReadFlag(&context->HardwareReleased); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(stopped.load()); // teardown waits for the launch to finish
    launching.Release();
    opener.join();
    stopper.join();

    // The thread it found is stopped in its start-up wait, which the clock
    // never ended: nothing is left running on a released device.
    EXPECT_TRUE(trace_.Contains("QuillexHidTeardown: <1> Shutdown HID reader data pump"));
    EXPECT_TRUE(sim::kernel::WaitForSystemThreads(2000));
    EXPECT_FALSE(ThreadHandleHeld(&context->ReaderWorker));
    EXPECT_EQ(stack_.Hid(id)->CountOf(IRP_MJ_READ), 0u);
    ASSERT_EQ(stack_.Start(id), STATUS_SUCCESS);
}

TEST_F(ReaderRaceTest, AnOpenWhileTheLastReaderClearsTheRecordLaunchesAfterItAndKeepsTheNewOne) {
    DeviceId id = PlugStick(0x0403);
    stack_.Hid(id)->CompleteOpensAtDispatch(0); // each launch runs within its open
    PDEVICE_CONTEXT context = Context(id);
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    // The reader, leaving, is held as it drops its own reference: its
    // handle is still in the record.
    sim::race::Pause leaving(sim::kernel::kThreadReferenceDropped, nullptr, sim::race::Pause::Hold,
                             "system thread");
    EndTheReaderOnItsOwn(&clock_);
    ASSERT_TRUE(leaving.WaitHit());

    std::atomic<bool> opened{false};
    std::thread opener([&] {
        EXPECT_EQ(OpenApp(id), STATUS_SUCCESS);
        opened = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(opened.load()); // the launch waits until the record is clear
    leaving.Release();
    opener.join();

    // The new reader owns the record: handle, reference, and it reads.
    EXPECT_TRUE(ThreadHandleHeld(&context->ReaderWorker));
    EXPECT_EQ(ThreadState(&context->ReaderWorker), WORKER_RUNNING);
    PassStartupWait(id);
    CloseApps();
    ASSERT_EQ(stack_.Remove(id), STATUS_SUCCESS);
    EXPECT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_TRUE(trace_.Contains("QuillexHidReaderThread: <1> Stop event"));
}

TEST_F(ReaderRaceTest, ARemovalKeepsTheDeviceUntilTheLeavingReaderHasSignalledItsExit) {
    DeviceId id = PlugStick(0x0403);
    PDEVICE_CONTEXT context = Context(id);
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    PassStartupWait(id);
    CloseApps();
    // The reader, stopped by the removal, is held as it is about to signal
    // its exit: it has said it is leaving, and the event is in the device.
    sim::race::Pause signalling(sim::race::kEventAboutToBeSet,
                                &context->ReaderWorker.EV_THREAD_EXITED, sim::race::Pause::Hold,
                                "system thread");
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        EXPECT_EQ(stack_.Remove(id), STATUS_SUCCESS);
        removed = true;
    });
    ASSERT_TRUE(signalling.WaitHit());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load()); // the device, and its event, stay until then
    signalling.Release();
    remover.join();
    EXPECT_TRUE(removed.load());
    EXPECT_EQ(stack_.State(id), sim::pnp::DeviceState::Removed);
    EXPECT_TRUE(sim::kernel::WaitForSystemThreads());
}

TEST_F(ReaderRaceTest, AStopWaitsForTheRunningReaderNotForTheConfirmationOfAnEarlierOne) {
    DeviceId id = PlugStick(0x0402);
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    // The first reader ends on its own and confirms an exit nobody asked for.
    EndTheReaderOnItsOwn(&clock_);
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    PassStartupWait(id);

    // The second one is held as it cancels its read on the stop.
    sim::race::Pause cancelling(sim::race::kCancelRoutineTaken, nullptr, sim::race::Pause::Hold,
                                "system thread");
    std::thread stopper([&] { EXPECT_EQ(stack_.Stop(id), STATUS_SUCCESS); });
    ASSERT_TRUE(cancelling.WaitHit());
    ASSERT_TRUE(WaitUntil([&] { return trace_.Contains("ThreadRecover status"); }));
    // It has not confirmed: the stop's wait ran out.
    EXPECT_TRUE(trace_.Contains("ThreadRecover status 102")) << trace_.Text();
    EXPECT_FALSE(trace_.Contains("Deleted InputReportWdfRequest"));
    cancelling.Release();
    stopper.join();
    EXPECT_TRUE(trace_.Contains("Deleted InputReportWdfRequest"));
    ASSERT_EQ(stack_.Start(id), STATUS_SUCCESS);
}

TEST_F(ReaderRaceTest, TeardownGivesUpOnAReaderThatHasNotLeftAfterItsBoundAndKeepsItsBuffers) {
    DeviceId id = PlugStick(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    PassStartupWait(id);
    // The teardown's waits run on the test's clock, so its bound can be passed.
    stack_.RunOnManagerThread([] { sim::kernel::PutCurrentThreadOnSimulatedClock(true); });

    // The reader is held as it cancels its read on the stop, and never leaves.
    sim::race::Pause cancelling(sim::race::kCancelRoutineTaken, nullptr, sim::race::Pause::Hold,
                                "system thread");
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        EXPECT_EQ(stack_.Stop(id), STATUS_SUCCESS);
        stopped = true;
    });
    // A failed check below still lets the stop end before the test does.
    struct ReleaseAndJoin {
        sim::race::Pause& pause;
        std::thread& thread;
        ~ReleaseAndJoin() {
            pause.Release();
            if (thread.joinable()) {
                thread.join();
            }
        }
    } releaseAndJoin{cancelling, stopper};
    ASSERT_TRUE(cancelling.WaitHit());
    // Each wait of the teardown is passed once it has begun: its trace comes
    // just before it.
    auto passWait = [&](const char* before, size_t count) {
        ASSERT_TRUE(WaitUntil([&] {
            return trace_.Count(before) >= count && clock_.TimedWaiters() >= 1;
        })) << "wait "
            << count << " after \"" << before << "\"";
        clock_.Advance(std::chrono::seconds(1));
    };
    const char* const slice = "Reader thread still running, waiting for it to leave";
    const std::string gaveUp = "reader thread did not leave; its request and buffers stay with "
                               "the device";
    ASSERT_NO_FATAL_FAILURE(passWait("ThreadRecover: Wait for worker thread to shut down", 1));
    // The bound is 30 one-second waits: before the last, the teardown still waits.
    for (size_t waited = 1; waited < 30; ++waited) {
        ASSERT_NO_FATAL_FAILURE(passWait(slice, waited));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(trace_.Contains(gaveUp)) << "the teardown gave up before its bound";
    ASSERT_NO_FATAL_FAILURE(passWait(slice, 30));
    ASSERT_TRUE(WaitUntil([&] { return trace_.Contains(gaveUp); }));
    EXPECT_EQ(trace_.Count(slice), 30u);

    // What the reader may still touch stays with the device, also once the
    // held read lets the stop end.
    EXPECT_NE(context->InputReportWdfRequest, nullptr);
    EXPECT_NE(context->InputReport.Buffer, nullptr);
    cancelling.Release();
    stopper.join();
    EXPECT_TRUE(stopped.load());
    EXPECT_FALSE(trace_.Contains("Deleted InputReportWdfRequest"));
    EXPECT_NE(context->InputReportWdfRequest, nullptr);
    EXPECT_NE(context->InputReport.Buffer, nullptr);
    stack_.RunOnManagerThread([] { sim::kernel::PutCurrentThreadOnSimulatedClock(false); });
    EXPECT_TRUE(sim::kernel::WaitForSystemThreads());

    // The stops the teardown repeated for that reader do not stop the next:
    // after the start, an open's reader reads, and stays.
    ASSERT_EQ(stack_.Start(id), STATUS_SUCCESS);
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    PassStartupWait(id);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 1u);
    EXPECT_EQ(ThreadState(&context->ReaderWorker), WORKER_RUNNING);
    CloseApps();
}

} // namespace
} // namespace quillex_test

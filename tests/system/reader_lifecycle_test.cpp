// The reader pipeline when things go wrong: setup failing at each step, a
// collection the decoders cannot serve, reads that fail, sends that keep
// failing, and a reader that ended on its own being launched again.
#include <gtest/gtest.h>

#include "sim/peers/stick/raw_reports.h"
#include "sim/wdf/object.h"
#include "tests/support/reader_stack.h"

namespace quillex_test {
namespace {

using ReaderLifecycleTest = ReaderStackTest;

// Every pipeline field a setup makes is empty.
void ExpectPipelineEmpty(PDEVICE_CONTEXT context) {
    EXPECT_EQ(context->Hid.DefaultIoTarget, nullptr);
    EXPECT_EQ(context->Hid.PreparsedData.Memory, nullptr);
    for (ULONG type = 0; type < HID_REPORT_TYPE_COUNT; ++type) {
        EXPECT_EQ(context->Hid.ButtonCaps[type].Memory, nullptr);
        EXPECT_EQ(context->Hid.ValueCaps[type].Memory, nullptr);
    }
    EXPECT_EQ(context->AnalogValues.Memory, nullptr);
    EXPECT_EQ(context->InputReport.Memory, nullptr);
    EXPECT_EQ(context->InputReportWdfRequest, nullptr);
    EXPECT_EQ(context->OutputReport.Memory, nullptr);
    EXPECT_EQ(context->OutputReportWdfRequest, nullptr);
}

TEST_F(ReaderLifecycleTest, SetupFailingAtAnyStepLeavesNothingOfThePipeline) {
    // The baseline: a probe that fails at its first request allocates nothing.
    sim::fault::FailNthCall("WdfIoTargetSendIoctlSynchronously", 1, STATUS_DEVICE_NOT_READY);
    DeviceId first = PlugStick(0x0402);
    size_t baseline = sim::wdf::LiveObjectCount();
    ExpectPipelineEmpty(Context(first));
    ASSERT_EQ(stack_.Remove(first), STATUS_SUCCESS);
    baseline -= sim::wdf::LiveObjectCount();

    struct Fault {
        const char* service;
        unsigned nth;
    };
    unsigned failedSetups = 0;
    std::vector<Fault> faults = {
        {"WdfIoTargetSendIoctlSynchronously", 2}, {"WdfRequestCreate", 1}, {"WdfRequestCreate", 2}};
    for (unsigned n = 1; n <= 12; ++n) {
        faults.push_back({"WdfMemoryCreate", n});
    }
    for (const Fault& fault : faults) {
        SCOPED_TRACE(std::string(fault.service) + " #" + std::to_string(fault.nth));
        sim::fault::Reset();
        trace_.Clear();
        sim::fault::FailNthCall(fault.service, fault.nth, STATUS_INSUFFICIENT_RESOURCES);
        size_t before = sim::wdf::LiveObjectCount();
        DeviceId id = 0;
        if (stack_.Plug(sim::pnp::ArcadeStick(0x0402), &id) != STATUS_SUCCESS) {
            continue; // the fault hit device add, not the pipeline
        }
        if (trace_.Contains("QuillexHidSetup: <")) {
            if (!trace_.Contains("Setup failed with status")) {
                continue; // a capability array: the probe goes on, setup succeeds
            }
            ++failedSetups;
            ExpectPipelineEmpty(Context(id));
            EXPECT_EQ(sim::wdf::LiveObjectCount() - before, baseline);
        }
        ASSERT_EQ(stack_.Remove(id), STATUS_SUCCESS);
    }
    // The second IOCTL, both requests, the preparsed data and the three buffers.
    EXPECT_GE(failedSetups, 7u);
}

// A joystick with two 8-bit axes and eight buttons: 4-byte reports, two values.
const std::vector<uint8_t> kSmallJoystick = {
    0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x02, 0x09, 0x30, 0x09, 0x31, 0x81, 0x02, 0x05, 0x09, 0x19, 0x01, 0x29,
    0x08, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0xC0};

TEST_F(ReaderLifecycleTest, ACollectionTheDecodersCannotServeIsRefusedAndNeverRead) {
    sim::pnp::StickDescription stick = sim::pnp::ArcadeStick(0x0403);
    stick.lower =
        std::make_unique<sim::hid::Collection>(kSmallJoystick, sim::pnp::kStickVendorId, 0x0403);
    DeviceId id = Plug(std::move(stick));
    EXPECT_TRUE(
        trace_.Contains("QuillexHidSetup: <1> Error - collection has 2 input values and 4-byte "
                        "input reports; the stick needs 7 values and 10 bytes - 0xc0000182"))
        << trace_.Text();
    EXPECT_TRUE(trace_.Contains("Setup failed with status c0000182"));
    ExpectPipelineEmpty(Context(id));

    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    PassStartupWaitWithoutRead();
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_TRUE(trace_.Contains("QuillexHidReaderThread: <1> Error - Memory has not allocated"));
    EXPECT_EQ(stack_.Hid(id)->CountOf(IRP_MJ_READ), 0u);
}

TEST_F(ReaderLifecycleTest, AFailedReadLeavesTheReaderWaitingForItsStop) {
    DeviceId id = PlugStick(0x0402);
    stack_.Hid(id)->AnswerMajor(IRP_MJ_READ, {STATUS_DEVICE_DATA_ERROR, {}, false});
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    PassStartupWaitWithoutRead();
    ASSERT_TRUE(WaitUntil([&] { return stack_.Hid(id)->CountOf(IRP_MJ_READ) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(stack_.Hid(id)->CountOf(IRP_MJ_READ), 1u); // no second read
    EXPECT_EQ(ThreadState(&Context(id)->ReaderWorker), WORKER_RUNNING);
    CloseApps();
    ASSERT_EQ(stack_.Remove(id), STATUS_SUCCESS);
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_TRUE(trace_.Contains("QuillexHidReaderThread: <1> Stop event"));
    EXPECT_TRUE(trace_.Contains("QuillexHidReaderThread: <1> -- 0\n"));
}

TEST_F(ReaderLifecycleTest, SendsThatKeepFailingPauseBetweenTriesAndAStopStillEndsTheReader) {
    DeviceId id = PlugAndRead(0x0403);
    sim::fault::FailFromNthCall("WdfRequestSend", 1, STATUS_INSUFFICIENT_RESOURCES);
    sim::stick::Stick stick(stack_.Hid(id));
    ASSERT_EQ(stick.Send(sim::stick::Encode(sim::stick::Layout::B, sim::stick::StickState())),
              STATUS_SUCCESS);
    // Each refused send is followed by a pause on the clock, not a spin.
    ASSERT_TRUE(clock_.WaitForTimedWaiters(1));
    clock_.Advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(WaitUntil([&] { return trace_.Count("WdfRequestSend failed - 0xc000009a") >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(trace_.Count("WdfRequestSend failed - 0xc000009a"), 2u);

    CloseApps();
    ASSERT_EQ(stack_.Unplug(id), STATUS_SUCCESS);
    stack_.WaitRemoved(id);
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_TRUE(trace_.Contains("QuillexHidReaderThread: <1> Stop event"));
    EXPECT_FALSE(trace_.Contains("ThreadRecover status 102"));
}

TEST_F(ReaderLifecycleTest, AReaderThatEndedOnItsOwnIsLaunchedAgainWithoutASecondController) {
    DeviceId id = PlugStick(0x0402);
    sim::fault::FailNthCall("WdfIoTargetOpen", 1, STATUS_DEVICE_NOT_READY);
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    PassStartupWaitWithoutRead();
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_TRUE(trace_.Contains("QuillexHidReaderThread: <1> Error - WdfIoTargetOpen failed - "
                                "0xc00000a3"));
    PDEVICE_CONTEXT context = Context(id);
    EXPECT_EQ(ThreadState(&context->ReaderWorker), WORKER_TERMINATED);
    EXPECT_EQ(context->ReaderWorker.hThread, nullptr);
    EXPECT_TRUE(QuillexReadFlag(&context->PdoCreated));
    stack_.WaitIdle();
    EXPECT_EQ(stack_.Children(id).size(), 1u);

    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    PassStartupWait(id); // waits again, then reads
    stack_.WaitIdle();
    EXPECT_EQ(stack_.Children(id).size(), 1u);
}

} // namespace
} // namespace quillex_test

namespace quillex_test {
namespace {

TEST_F(ReaderLifecycleTest, AnOpenWhileTheHardwareIsReleasedStartsNoReader) {
    DeviceId id = PlugStick(0x0402);
    ASSERT_EQ(stack_.Stop(id), STATUS_SUCCESS);
    EXPECT_TRUE(QuillexReadFlag(&Context(id)->HardwareReleased));
    (void)OpenApp(id); // passed down and answered, whatever the answer
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 0u);
    EXPECT_FALSE(trace_.Contains("Quillex!ThreadLaunch"));
    CloseApps();
    ASSERT_EQ(stack_.Start(id), STATUS_SUCCESS);
}

// The lower driver may complete an open at DISPATCH_LEVEL, where the launch
// may not wait for the worker record's lock: the reader is launched all the
// same, by the device's work item.
TEST_F(ReaderLifecycleTest, AnOpenCompletedAtDispatchLevelStillLaunchesTheReader) {
    DeviceId id = PlugStick(0x0402);
    stack_.Hid(id)->CompleteOpensAtDispatch(1);
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    PassStartupWait(id);
    EXPECT_GE(stack_.Hid(id)->OpensCompletedAtDispatch(), 1u);
    EXPECT_EQ(ThreadState(&Context(id)->ReaderWorker), WORKER_RUNNING);
}

// An open may complete before the first start: the worker record is ready
// from device add on, and no reader runs before there is hardware to read.
TEST_F(ReaderLifecycleTest, TheWorkerRecordIsReadyFromDeviceAddOn) {
    DeviceId id = 0;
    ASSERT_EQ(stack_.PlugWithoutStart(sim::pnp::ArcadeStick(0x0402), &id), STATUS_SUCCESS);
    stack_.Hid(id)->CompleteOpensAtDispatch(0); // the launch is decided within the open
    PWORKER_RECORD worker = &Context(id)->ReaderWorker;
    EXPECT_EQ(ThreadState(worker), WORKER_INITIALIZED);
    EXPECT_EQ(KeReadStateEvent(&worker->EV_RECORD_FREE), 1) << "the record's lock is not free";
    sim::io::File early;
    ASSERT_EQ(early.Open(stack_.PdoName(id), GENERIC_READ), STATUS_SUCCESS);
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtDeviceFileCreateComplete: -- 0\n"));
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 0u);
    EXPECT_FALSE(trace_.Contains("Quillex!ThreadLaunch"));
    early.Close();
    ASSERT_EQ(stack_.Unplug(id), STATUS_SUCCESS);
    stack_.WaitRemoved(id);
}

// Each restart also stops and starts the old, retired controller, whose class
// driver may still be enumerating it from the last start.
TEST_F(ReaderLifecycleTest, EveryRestartGivesANewControllerThatTheClassDriverEnumeratesAgain) {
    stack_.Install(sim::xbox::Package());
    DeviceId id = PlugAndRead(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    std::shared_ptr<sim::xbox::Controller> previous;
    for (int cycle = 0; cycle < 100; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        WDFDEVICE child = QuillexChildOf(context);
        ASSERT_NE(child, nullptr);
        PDEVICE_OBJECT pdo = WdfDeviceWdmGetDeviceObject(child);
        // A new instance (the old child is deleted at the restart, and the
        // new one may lie where it was).
        std::shared_ptr<sim::xbox::Controller> controller;
        EXPECT_TRUE(WaitUntil([&] {
            controller = sim::xbox::WaitForController(pdo, std::chrono::milliseconds(10));
            return controller != nullptr && controller != previous;
        }));
        ASSERT_NE(controller, nullptr);
        ASSERT_EQ(controller->WaitConfigured(), STATUS_SUCCESS);
        previous = controller;

        ASSERT_EQ(stack_.Restart(id), STATUS_SUCCESS);
        ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
        // The application's handle stays open; the next open starts the reader.
        ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
        apps_.back().Close();
        PassStartupWait(id);
        stack_.WaitIdle();
    }
}

} // namespace
} // namespace quillex_test

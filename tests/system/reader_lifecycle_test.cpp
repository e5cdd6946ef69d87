// The reader pipeline when things go wrong: setup failing at each step, a
// collection the decoders cannot serve, reads that fail, sends that keep
// failing, and a reader that ended on its own being launched again.
#include <gtest/gtest.h>

#include "sim/kernel/thread_state.h"
#include "sim/peers/stick/plug.h"
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
        if (stack_.Plug(sim::stick::ArcadeStick(0x0402), &id) != STATUS_SUCCESS) {
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
    sim::pnp::DeviceDescription stick = sim::stick::ArcadeStick(0x0403);
    stick.lower =
        std::make_unique<sim::hid::Collection>(kSmallJoystick, sim::stick::kStickVendorId, 0x0403);
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
    // Each refused send is followed by a pause on the clock, not a spin: 1 ms
    // first, doubled after each refusal up to 100 ms. Each pause is still on
    // a microsecond before its end.
    auto refusals = [&] { return trace_.Count("WdfRequestSend failed - 0xc000009a"); };
    size_t seen = 1;
    for (unsigned pauseMs : {1u, 2u, 4u, 8u, 16u, 32u, 64u, 100u, 100u}) {
        SCOPED_TRACE(std::to_string(pauseMs) + " ms");
        ASSERT_TRUE(WaitUntil([&] { return refusals() >= seen; }));
        ASSERT_TRUE(clock_.WaitForTimedWaiters(1));
        clock_.Advance(std::chrono::milliseconds(pauseMs) - std::chrono::microseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(refusals(), seen) << "the pause ended early";
        clock_.Advance(std::chrono::microseconds(1));
        ASSERT_TRUE(WaitUntil([&] { return refusals() >= seen + 1; }));
        ++seen;
    }

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
    // The reader runs at priority 28, above the threads that feed it.
    auto* reader = static_cast<PKTHREAD>(Context(id)->ReaderWorker.m_pThreadObj);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->Priority, 28);
}

// The probe builds the capability arrays in order and stops at the first
// that cannot be built, without failing: the stick still starts. An array
// with no entries is no failure: the walk goes past it.
TEST_F(ReaderLifecycleTest, TheProbeWalksTheCapabilityArraysUntilOneFails) {
    DeviceId whole = PlugStick(0x0402);
    const HID_STATE& hid = Context(whole)->Hid;
    EXPECT_EQ(hid.Caps.NumberOutputButtonCaps, 0u);
    EXPECT_EQ(hid.ButtonCaps[HidP_Output].Memory, nullptr);
    EXPECT_NE(hid.ButtonCaps[HidP_Input].Memory, nullptr);
    EXPECT_NE(hid.ValueCaps[HidP_Input].Memory, nullptr); // built after the empty arrays

    sim::fault::FailNthCall("HidP_GetButtonCaps", 1, HIDP_STATUS_INVALID_PREPARSED_DATA);
    DeviceId cut = PlugStick(0x0402);
    const HID_STATE& cutHid = Context(cut)->Hid;
    EXPECT_EQ(cutHid.ButtonCaps[HidP_Input].Memory, nullptr);
    EXPECT_EQ(cutHid.ValueCaps[HidP_Input].Memory, nullptr); // never reached
    EXPECT_TRUE(trace_.Contains("Quillex!QuillexGetCapsArray: Delete empty InputButton array\n"));
    EXPECT_EQ(stack_.StartStatus(cut), STATUS_SUCCESS);
}

// A collection that says its descriptor has no bytes is refused at once:
// nothing is allocated for it and no descriptor is asked for.
TEST_F(ReaderLifecycleTest, ACollectionDescriptorOfNoBytesIsRefusedBeforeAnyAllocation) {
    DeviceId id = PlugStick(0x0402);
    ASSERT_EQ(stack_.Stop(id), STATUS_SUCCESS);
    HID_COLLECTION_INFORMATION empty = stack_.Hid(id)->Information();
    empty.DescriptorSize = 0;
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(&empty);
    stack_.Hid(id)->AnswerIoctl(IOCTL_HID_GET_COLLECTION_INFORMATION,
                                {STATUS_SUCCESS, {bytes, bytes + sizeof(empty)}, false});
    stack_.Hid(id)->Clear();
    trace_.Clear();
    ASSERT_EQ(stack_.Start(id), STATUS_SUCCESS);
    EXPECT_TRUE(trace_.Contains("Quillex!QuillexHidDeviceProbe: <1> Error - "
                                "CollectionInformation.DescriptorSize is zero! -  c0000001\n"));
    EXPECT_EQ(Context(id)->Hid.PreparsedData.Memory, nullptr);
    for (const auto& request : stack_.Hid(id)->Requests()) {
        EXPECT_NE(request.ioControlCode, static_cast<ULONG>(IOCTL_HID_GET_COLLECTION_DESCRIPTOR));
    }
}

// Teardown after a setup that failed half way releases what was made and
// says so, step by step, and says nothing of what was never made.
TEST_F(ReaderLifecycleTest, TeardownAfterAFailedSetupTracesEachStepItTakes) {
    sim::fault::FailNthCall("WdfRequestCreate", 2, STATUS_INSUFFICIENT_RESOURCES);
    DeviceId id = PlugStick(0x0402);
    ASSERT_TRUE(trace_.Contains("Setup failed with status c000009a"));
    std::vector<std::string> teardown;
    for (const auto& record : trace_.Records()) {
        if (record.Text.rfind("Quillex!QuillexHidTeardown: ", 0) == 0) {
            teardown.push_back(record.Text.substr(28));
        }
    }
    const std::vector<std::string> expected = {
        "<1> ++\n",
        "<1> Delete OutputButtonUsageList\n",
        "<1> Delete OutputReport\n",
        "<1> Deleted InputReportWdfRequest\n",
        "<1> Delete InputReport\n",
        "<1> Delete PreparsedData\n",
        "<1> Disconnected Hid.DefaultIoTarget\n",
        "<1> --\n",
    };
    EXPECT_EQ(teardown, expected);
    ExpectPipelineEmpty(Context(id));
}

// An open may complete before the first start: the worker record is ready
// from device add on, and no reader runs before there is hardware to read.
TEST_F(ReaderLifecycleTest, TheWorkerRecordIsReadyFromDeviceAddOn) {
    DeviceId id = 0;
    ASSERT_EQ(stack_.PlugWithoutStart(sim::stick::ArcadeStick(0x0402), &id), STATUS_SUCCESS);
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

// The HID reader pipeline in the whole stack: launched by an open, its
// start-up wait, the emulated controller it creates, reports from the stick
// through the read completion to the class driver, and how it stops.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/peers/stick/raw_reports.h"
#include "tests/support/reader_stack.h"

namespace quillex_test {
namespace {

using sim::stick::Layout;
using sim::stick::StickState;

// The position of each text in the trace, in order; -1 for one missing or
// out of order.
std::vector<long> TraceOrder(const sim::trace::Capture& trace,
                             const std::vector<std::string>& texts) {
    std::vector<long> at;
    auto records = trace.Records();
    size_t from = 0;
    for (const auto& text : texts) {
        long found = -1;
        for (size_t i = from; i < records.size(); ++i) {
            if (records[i].Text.find(text) != std::string::npos) {
                found = static_cast<long>(i);
                from = i + 1;
                break;
            }
        }
        at.push_back(found);
    }
    return at;
}

using ReaderPipelineTest = ReaderStackTest;

TEST_F(ReaderPipelineTest, AnOpenStartsOneReaderThatStartsReadingAfterItsWaitAndStopsInOrder) {
    DeviceId id = PlugStick(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    ASSERT_TRUE(clock_.WaitForTimedWaiters(1));
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 1u);
    // A second open while it runs starts none.
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 1u);

    // Nothing is asked of the child or the collection before the 5 s are up.
    clock_.Advance(std::chrono::milliseconds(4990));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(context->XusbPdo, nullptr);
    EXPECT_EQ(stack_.Hid(id)->WaitingReads(), 0u);
    clock_.Advance(std::chrono::milliseconds(10));
    ASSERT_TRUE(WaitUntil([&] { return stack_.Hid(id)->WaitingReads() == 1; }));
    EXPECT_NE(context->XusbPdo, nullptr);
    EXPECT_TRUE(QuillexReadFlag(&context->PdoCreated));
    EXPECT_EQ(ThreadState(&context->ReaderWorker), WORKER_RUNNING);

    CloseApps();
    trace_.Clear();
    ASSERT_EQ(stack_.Remove(id), STATUS_SUCCESS);
    // Its last trace follows the confirmation teardown waited for.
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    std::vector<long> at = TraceOrder(
        trace_, {"QuillexHidReaderThread: <1> Stop event",
                 "<1> bInputThreadStop set - Exited reader loop", "<1> Closing shadow IoTarget",
                 "QuillexHidReaderThread: ZwClose(hThread)", "QuillexHidReaderThread: <1> -- 0\n"});
    for (long position : at) {
        EXPECT_GE(position, 0) << trace_.Text();
    }
}

TEST_F(ReaderPipelineTest, AStopDuringTheStartUpWaitEndsItAtOnceAndOpensNothing) {
    DeviceId id = PlugStick(0x0403);
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    ASSERT_TRUE(clock_.WaitForTimedWaiters(1));
    CloseApps();
    // The clock never moves: only the stop can end the wait.
    ASSERT_EQ(stack_.Remove(id), STATUS_SUCCESS);
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_TRUE(trace_.Contains("QuillexHidReaderThread: <1> -- 0\n"));
    EXPECT_FALSE(trace_.Contains("Closing shadow IoTarget"));
    EXPECT_FALSE(trace_.Contains("Stop event"));
    EXPECT_TRUE(stack_.Children(id).empty()); // no emulated controller was asked for
    EXPECT_EQ(stack_.Hid(id) != nullptr ? stack_.Hid(id)->OpenCount() : 0u, 0u);
}

TEST_F(ReaderPipelineTest, AnOpenTheCollectionRefusesStillStartsTheReaderAndTheCallerHearsWhy) {
    DeviceId id = PlugStick(0x0402);
    stack_.Hid(id)->AnswerMajor(IRP_MJ_CREATE, {STATUS_SHARING_VIOLATION, {}, false});
    EXPECT_EQ(OpenApp(id), STATUS_SHARING_VIOLATION);
    EXPECT_TRUE(clock_.WaitForTimedWaiters(1));
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 1u);
    EXPECT_EQ(ThreadState(&Context(id)->ReaderWorker), WORKER_RUNNING);
}

class EndToEndTest : public ReaderStackTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(EndToEndTest, EveryRawReportReachesTheGameAsItsComposition) {
    stack_.Install(sim::xbox::Package());
    uint16_t productId = GetParam();
    Layout layout = sim::stick::LayoutForProductId(productId);
    DeviceId id = PlugAndRead(productId);
    PDEVICE_CONTEXT context = Context(id);
    ASSERT_NE(context->XusbPdo, nullptr);
    auto controller = sim::xbox::WaitForController(WdfDeviceWdmGetDeviceObject(context->XusbPdo));
    ASSERT_NE(controller, nullptr);
    ASSERT_EQ(controller->WaitConfigured(), STATUS_SUCCESS);

    sim::stick::Stick stick(stack_.Hid(id));
    std::vector<StickState> states;
    StickState s;
    states.push_back(s); // centred, nothing pressed
    s.buttons = sim::stick::A | sim::stick::Power;
    states.push_back(s);
    s.buttons = sim::stick::B | sim::stick::Back;
    s.leftX = 0;
    s.rightY = 255;
    s.hat = 2;
    states.push_back(s);
    s.buttons = 0;
    s.leftTrigger = 200;
    s.rightTrigger = 17;
    s.hat = 8;
    states.push_back(s);
    std::vector<uint16_t> buttonsSeen;
    for (const StickState& state : states) {
        std::vector<uint8_t> raw = sim::stick::Encode(layout, state);
        auto expected = ComposeAlone(context, raw);
        sim::xbox::Gamepad pad;
        ASSERT_TRUE(sim::xbox::DecodeReport(expected.data(), expected.size(), &pad));
        size_t before = controller->CompletionCount();
        ASSERT_EQ(stick.Send(raw), STATUS_SUCCESS);
        ASSERT_TRUE(controller->WaitCompletions(before + 1));
        EXPECT_EQ(sim::xbox::Describe(controller->GamepadState()), sim::xbox::Describe(pad));
        buttonsSeen.push_back(controller->GamepadState().buttons);
    }
    // A and the power button, as a game reads them.
    EXPECT_EQ(buttonsSeen.at(1), sim::xbox::kA | sim::xbox::kGuide);
}

// A read that returned less than the raw layout needs decodes nothing, even
// with the whole report lying in the buffer; the next whole one is taken.
TEST_P(EndToEndTest, AReadThatReturnedLessThanARawReportDecodesNothing) {
    stack_.Install(sim::xbox::Package());
    uint16_t productId = GetParam();
    Layout layout = sim::stick::LayoutForProductId(productId);
    DeviceId id = PlugAndRead(productId);
    PDEVICE_CONTEXT context = Context(id);
    auto controller = sim::xbox::WaitForController(WdfDeviceWdmGetDeviceObject(context->XusbPdo));
    ASSERT_NE(controller, nullptr);
    ASSERT_EQ(controller->WaitConfigured(), STATUS_SUCCESS);
    sim::hid::Collection* hid = stack_.Hid(id);
    sim::stick::Stick stick(hid);
    const ULONG needed = QuillexHidRawReportLength(context);
    size_t completions = controller->CompletionCount();

    StickState pressed;
    pressed.buttons = sim::stick::X;
    pressed.leftTrigger = 99;
    std::vector<uint8_t> raw = sim::stick::Encode(layout, pressed);
    for (ULONG returned : {ULONG{1}, needed - 1}) {
        SCOPED_TRACE("read returns " + std::to_string(returned) + " of " + std::to_string(needed));
        hid->ShortenNextReads(returned);
        size_t reads = hid->CountOf(IRP_MJ_READ);
        ASSERT_EQ(stick.Send(raw), STATUS_SUCCESS);
        // The reader has sent its next read: the short one is behind it.
        ASSERT_TRUE(WaitUntil(
            [&] { return hid->CountOf(IRP_MJ_READ) > reads && hid->WaitingReads() == 1; }));
        EXPECT_TRUE(
            trace_.Contains("Short report of " + std::to_string(returned) + " bytes ignored"));
        KIRQL irql;
        KeAcquireSpinLock(&context->StateLock, &irql);
        ULONG buttons = context->CanonicalButtons;
        BOOLEAN pending = context->XusbReportPending;
        KeReleaseSpinLock(&context->StateLock, irql);
        EXPECT_EQ(buttons, 0u);
        EXPECT_FALSE(pending);
    }

    // Had a short read been decoded, this one would change nothing.
    ASSERT_EQ(stick.Send(raw), STATUS_SUCCESS);
    ASSERT_TRUE(controller->WaitCompletions(completions + 1));
    auto expected = ComposeAlone(context, raw);
    sim::xbox::Gamepad pad;
    ASSERT_TRUE(sim::xbox::DecodeReport(expected.data(), expected.size(), &pad));
    EXPECT_EQ(sim::xbox::Describe(controller->GamepadState()), sim::xbox::Describe(pad));
}

INSTANTIATE_TEST_SUITE_P(BothSticks, EndToEndTest, ::testing::Values(0x0402, 0x0403));

// The reader opens the stick for reading and writing, shares both, and asks
// for a device, not a directory: it reads beside an application that holds
// the stick, and keeps out nobody who shares it.
TEST_F(ReaderPipelineTest, TheShadowTargetOpensTheStickForReadingAndWritingAndSharesBoth) {
    DeviceId id = PlugAndRead(0x0402);
    const sim::hid::RecordingLowerDevice::Received* shadow = nullptr;
    std::vector<sim::hid::RecordingLowerDevice::Received> requests = stack_.Hid(id)->Requests();
    for (const auto& request : requests) {
        if (request.major == IRP_MJ_CREATE && request.requestorMode == KernelMode) {
            shadow = &request;
        }
    }
    ASSERT_NE(shadow, nullptr);
    EXPECT_TRUE(shadow->readAccess);
    EXPECT_TRUE(shadow->writeAccess);
    EXPECT_EQ(shadow->shareAccess, static_cast<ULONG>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(shadow->createOptions, static_cast<ULONG>(FILE_NON_DIRECTORY_FILE));
    // Another application reading and writing beside the reader.
    sim::io::File second;
    EXPECT_EQ(second.Open(stack_.Interfaces(id).at(0), GENERIC_READ | GENERIC_WRITE),
              STATUS_SUCCESS);
}

// A short read decodes nothing and leaves nothing pending, and a failed one
// ends the reading: either way the controller is not handed the last report a
// second time.
TEST_F(ReaderPipelineTest, AShortOrFailedReadHandsTheControllerNothing) {
    stack_.Install(sim::xbox::Package());
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail ? "a failed read" : "a short read");
        DeviceId id = PlugAndRead(0x0402);
        PDEVICE_CONTEXT context = Context(id);
        ASSERT_NE(context->XusbPdo, nullptr);
        auto controller =
            sim::xbox::WaitForController(WdfDeviceWdmGetDeviceObject(context->XusbPdo));
        ASSERT_NE(controller, nullptr);
        ASSERT_EQ(controller->WaitConfigured(), STATUS_SUCCESS);
        sim::hid::Collection* hid = stack_.Hid(id);
        sim::stick::Stick stick(hid);
        StickState pressed;
        pressed.buttons = sim::stick::A;
        size_t before = controller->CompletionCount();
        const size_t reads = hid->CountOf(IRP_MJ_READ);
        if (fail) {
            // The read this report completes is the last that succeeds.
            hid->AnswerMajor(IRP_MJ_READ, {STATUS_DEVICE_DATA_ERROR, {}, false});
        }
        ASSERT_EQ(stick.Send(sim::stick::Encode(Layout::A, pressed)), STATUS_SUCCESS);
        ASSERT_TRUE(controller->WaitCompletions(before + 1));
        const size_t delivered = controller->CompletionCount();

        if (fail) {
            // The read after the report is the failed one.
            ASSERT_TRUE(WaitUntil([&] { return hid->CountOf(IRP_MJ_READ) > reads; }));
        } else {
            hid->ShortenNextReads(1);
            ASSERT_EQ(stick.Send(sim::stick::Encode(Layout::A, StickState())), STATUS_SUCCESS);
            // The reader has sent its next read: the short one was dealt with.
            ASSERT_TRUE(WaitUntil(
                [&] { return hid->CountOf(IRP_MJ_READ) > reads + 1 && hid->WaitingReads() >= 1; }));
            EXPECT_TRUE(trace_.Contains("Short report of 1 bytes ignored"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(controller->CompletionCount(), delivered);
        CloseApps();
        controller.reset();
        ASSERT_EQ(stack_.Remove(id), STATUS_SUCCESS);
        sim::xbox::Forget();
        ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    }
}

TEST_F(ReaderPipelineTest, TeardownNeverFreesWhatAReadCompletionStillUses) {
    DeviceId id = PlugAndRead(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    CloseApps();
    sim::stick::Stick stick(stack_.Hid(id));
    StickState pressed;
    pressed.buttons = sim::stick::Y;

    // The completion is held in its state lock, past the 7 ms the stop waits.
    KIRQL irql;
    KeAcquireSpinLock(&context->StateLock, &irql);
    std::thread sender([&] { stick.Send(sim::stick::Encode(Layout::A, pressed)); });
    ASSERT_TRUE(WaitUntil([&] { return stack_.Hid(id)->WaitingReads() == 0; }));
    std::atomic<bool> unplugged{false};
    std::thread unplug([&] {
        stack_.Unplug(id);
        unplugged = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return trace_.Contains("ThreadRecover status 102"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(unplugged.load()); // teardown waits on
    EXPECT_FALSE(trace_.Contains("Deleted InputReportWdfRequest"));
    KeReleaseSpinLock(&context->StateLock, irql);
    sender.join();
    unplug.join();
    stack_.WaitRemoved(id);
    EXPECT_TRUE(trace_.Contains("Reader thread still running, waiting for it to leave"));
    EXPECT_TRUE(trace_.Contains("Deleted InputReportWdfRequest"));
}

} // namespace
} // namespace quillex_test

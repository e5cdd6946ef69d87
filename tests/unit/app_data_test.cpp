// The application's data items on a device context: sizes, single-item reads
// and writes with their refusals, whole-block writes, the push into the
// decoded state and the refresh back from it.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

#include "appapi/app_data.h"
#include "appapi/app_state.h"
#include "mapping/led_state.h"
#include "mapping/remap_store.h"
#include "mapping/xusb_report.h"
#include "sim/core/race.h"
#include "sim/core/trace_sink.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/xusb_child.h"
#include "xusb/urb_dispatch.h"

namespace {

using namespace quillex_test;

class AppDataTest : public DriverTest {
  protected:
    void SetUp() override {
        ctx_ = holder_.Context();
        ctx_->InstanceNumber = 4;
        ASSERT_EQ(TorvaXboxMappingInit(ctx_), STATUS_SUCCESS);
        ASSERT_EQ(TorvaXboxMappingRestoreDefaults(ctx_), STATUS_SUCCESS);
        ASSERT_EQ(AppApi_Initialize(&ctx_->AppInstance), STATUS_SUCCESS);
    }

    NTSTATUS SetItem(ULONG id, std::array<UCHAR, 4> bytes) {
        return AppApi_SetInstanceItem(ctx_, &ctx_->AppInstance, id, 4, bytes.data());
    }
    NTSTATUS SetItem(ULONG id, ULONG value) {
        return SetItem(id, {static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8),
                            static_cast<UCHAR>(value >> 16), static_cast<UCHAR>(value >> 24)});
    }
    ULONG* Analog() { return holder_.Analog(); }
    USHORT ReportButtons() const {
        return static_cast<USHORT>(ctx_->XusbInputReport[2] | ctx_->XusbInputReport[3] << 8);
    }

    ContextHolder holder_{driver_.Handle(), 0, ANALOG_VALUE_COUNT};
    PDEVICE_CONTEXT ctx_ = nullptr;
};

TEST_F(AppDataTest, ItemSizes) {
    sim::trace::Capture trace;
    EXPECT_EQ(AppApi_GetDataSize(1), 1u);
    EXPECT_EQ(AppApi_GetDataSize(13), 1u);
    EXPECT_EQ(AppApi_GetDataSize(14), 4u);
    EXPECT_EQ(AppApi_GetDataSize(20), 4u);
    EXPECT_EQ(AppApi_GetDataSize(21), 2u);
    EXPECT_EQ(AppApi_GetDataSize(0), 0u);
    EXPECT_EQ(AppApi_GetDataSize(22), 4u); // the settings: 22 to 26
    EXPECT_EQ(AppApi_GetDataSize(26), 4u);
    EXPECT_EQ(AppApi_GetDataSize(27), 0u);
    EXPECT_TRUE(trace.Contains("Quillex!AppApi_GetDataSize: Error - Unknown DataItemId (27)\n"));
}

TEST_F(AppDataTest, ItemReadsWriteOnlyTheirOwnBytesAndRefuseShortBuffersAndUnknownIds) {
    ctx_->AppInstance.Buttons[4] = 1;
    ctx_->AppInstance.Led = 2;
    UCHAR out[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    EXPECT_EQ(AppApi_GetInstanceItem(&ctx_->AppInstance, 5, 4, out), STATUS_SUCCESS);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 0xBB); // a button writes one byte
    EXPECT_EQ(AppApi_GetInstanceItem(&ctx_->AppInstance, 14, 4, out), STATUS_SUCCESS);
    EXPECT_EQ(out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24, 128);

    // The LED's size is 2, but it comes back as 4 bytes: a 2-byte buffer is
    // refused instead of overrun.
    UCHAR guard[8] = {0x11, 0x11, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(AppApi_GetInstanceItem(&ctx_->AppInstance, 21, 2, guard), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(guard[0], 0x11);
    EXPECT_EQ(guard[2], 0xEE);
    EXPECT_EQ(AppApi_GetInstanceItem(&ctx_->AppInstance, 21, 4, guard), STATUS_SUCCESS);
    EXPECT_EQ(guard[0], 2);
    EXPECT_EQ(guard[4], 0xEE);

    sim::trace::Capture trace;
    UCHAR untouched[4] = {9, 9, 9, 9};
    EXPECT_EQ(AppApi_GetInstanceItem(&ctx_->AppInstance, 22, 4, untouched),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(untouched[0], 9);
    EXPECT_TRUE(
        trace.Contains("Quillex!AppApi_GetInstanceItem: Error - Unknown DataItemId (22)\n"));
    EXPECT_EQ(AppApi_GetInstanceItem(&ctx_->AppInstance, 14, 3, untouched),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(AppApi_GetInstance(&ctx_->AppInstance, 47, untouched), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(AppApi_GetInstanceItem(nullptr, 1, 4, untouched), STATUS_INVALID_PARAMETER);
}

TEST_F(AppDataTest, SingleItemWritesCheckTheirRangeAndReadOnlyTheirSize) {
    sim::trace::Capture trace;
    // D-pad above 8: refused, nothing stored, nothing pushed.
    Analog()[ANALOG_HAT] = 3;
    EXPECT_EQ(SetItem(18, 9), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ctx_->AppInstance.Dpad, 8u);
    EXPECT_EQ(Analog()[ANALOG_HAT], 3u);
    EXPECT_TRUE(
        trace.Contains("Quillex!AppApi_SetInstanceItem: Error - DPAD value (9) out of range\n"));
    // 8 is centred: accepted, and the report carries no d-pad bit.
    EXPECT_EQ(SetItem(18, 8), STATUS_SUCCESS);
    EXPECT_EQ(Analog()[ANALOG_HAT], 8u);
    EXPECT_EQ(ReportButtons() & 0x000F, 0);

    // The LED reads 16 bits: 02 00 01 00 stores 2; above 3 is refused.
    EXPECT_EQ(SetItem(21, {0x02, 0x00, 0x01, 0x00}), STATUS_SUCCESS);
    EXPECT_EQ(ctx_->AppInstance.Led, 2u);
    EXPECT_EQ(SetItem(21, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ctx_->AppInstance.Led, 2u);
    EXPECT_TRUE(trace.Contains("Quillex!AppApi_SetInstanceItem: Error - Invalid LED state (4)\n"));

    // A button reads its first byte only, and stores 0 or 1.
    EXPECT_EQ(SetItem(5, {0x00, 0xFF, 0xFF, 0xFF}), STATUS_SUCCESS);
    EXPECT_EQ(ctx_->AppInstance.Buttons[4], 0);
    EXPECT_EQ(SetItem(1, {0x7F, 0, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(ctx_->AppInstance.Buttons[0], 1);
    EXPECT_EQ(ctx_->CanonicalButtons & BTN_A, static_cast<ULONG>(BTN_A));
    EXPECT_EQ(ReportButtons() & XUSB_A, XUSB_A);

    // Axes take any 32-bit value; the report uses its low byte (300 -> 44).
    EXPECT_EQ(SetItem(14, 300), STATUS_SUCCESS);
    EXPECT_EQ(ctx_->AppInstance.RightStickY, 300u);
    EXPECT_EQ(Analog()[ANALOG_RIGHT_STICK_Y], 300u);
    const USHORT rightY =
        static_cast<USHORT>(ctx_->XusbInputReport[12] | ctx_->XusbInputReport[13] << 8);
    EXPECT_EQ(rightY, static_cast<USHORT>((0x80 - 44) << 8));

    // Unknown ids and short values change nothing.
    APP_INSTANCE before = ctx_->AppInstance;
    EXPECT_EQ(SetItem(0, 1), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(SetItem(22, 1), STATUS_INVALID_DEVICE_REQUEST);
    const UCHAR one[1] = {1};
    EXPECT_EQ(AppApi_SetInstanceItem(ctx_, &ctx_->AppInstance, 21, 1, one),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(AppApi_SetInstanceItem(ctx_, &ctx_->AppInstance, 14, 3, one),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(memcmp(&before, &ctx_->AppInstance, sizeof(before)), 0);
    EXPECT_TRUE(trace.Contains("Quillex!AppApi_SetInstanceItem: Error - Buffer too small\n"));
    EXPECT_TRUE(trace.Contains("Quillex!AppApi_SetInstanceItem: Error - Unknown DataItemId (0)\n"));
}

TEST_F(AppDataTest, AWholeBlockIsStoredUncheckedAndDrivesTheTriggersCrosswise) {
    APP_INSTANCE block = ctx_->AppInstance;
    block.Dpad = 12;
    block.FirstTrigger = 200;
    block.SecondTrigger = 10;
    block.Buttons[7] = 5; // BTN_RIGHT_TRIANGLE, which no raw layout feeds
    block.Padding[1] = 0x5A;
    // Each stick field its own value, so that two fields crossed show.
    block.LeftStickX = 11;
    block.LeftStickY = 22;
    block.RightStickX = 33;
    block.RightStickY = 44;
    block.Led = 2;
    ctx_->CanonicalButtons = 0x80000000; // bits above the 13 stay
    sim::trace::Capture trace;
    EXPECT_EQ(AppApi_SetInstance(ctx_, &ctx_->AppInstance, sizeof(block), &block), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(&block, &ctx_->AppInstance, sizeof(block)), 0);
    EXPECT_EQ(Analog()[ANALOG_LEFT_STICK_X], 11u);
    EXPECT_EQ(Analog()[ANALOG_LEFT_STICK_Y], 22u);
    EXPECT_EQ(Analog()[ANALOG_RIGHT_STICK_X], 33u);
    EXPECT_EQ(Analog()[ANALOG_RIGHT_STICK_Y], 44u);
    // The block's LED index goes to the stick's LED with every push.
    EXPECT_TRUE(trace.Contains("Quillex!QuillexSetLed: <4> ++ Torva_LED [2]\n"));
    EXPECT_EQ(Analog()[ANALOG_HAT], 12u);
    EXPECT_EQ(Analog()[ANALOG_RIGHT_TRIGGER], 200u);
    EXPECT_EQ(Analog()[ANALOG_LEFT_TRIGGER], 10u);
    EXPECT_EQ(ctx_->CanonicalButtons, 0x80000000u | BTN_RIGHT_TRIANGLE);
    EXPECT_EQ(ctx_->XusbInputReport[4], 10);  // left trigger
    EXPECT_EQ(ctx_->XusbInputReport[5], 200); // right trigger
    EXPECT_EQ(ReportButtons(), XUSB_START);   // hat 12 is no direction

    // Read back through the refresh and written again unchanged, the block
    // exchanges the decoded triggers: applications rely on it.
    APP_INSTANCE refreshed{};
    ASSERT_EQ(AppApi_QuillexToApp(ctx_, &refreshed), STATUS_SUCCESS);
    EXPECT_EQ(refreshed.FirstTrigger, 10u);
    EXPECT_EQ(refreshed.SecondTrigger, 200u);
    EXPECT_EQ(AppApi_SetInstance(ctx_, &ctx_->AppInstance, sizeof(refreshed), &refreshed),
              STATUS_SUCCESS);
    EXPECT_EQ(Analog()[ANALOG_RIGHT_TRIGGER], 10u);
    EXPECT_EQ(Analog()[ANALOG_LEFT_TRIGGER], 200u);

    EXPECT_EQ(AppApi_SetInstance(ctx_, &ctx_->AppInstance, 47, &block), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(AppApi_SetInstance(nullptr, &ctx_->AppInstance, 48, &block),
              STATUS_INVALID_PARAMETER);
}

TEST_F(AppDataTest, ThePushWithoutDecodedStateStoresTheBlockAndTouchesNothingElse) {
    MEMORY_BUFFER analog = ctx_->AnalogValues;
    ctx_->AnalogValues.Buffer = nullptr; // before setup, after teardown
    ctx_->AnalogValues.Size = 0;
    UCHAR reportBefore[XUSB_INPUT_REPORT_LENGTH];
    memcpy(reportBefore, ctx_->XusbInputReport, sizeof(reportBefore));
    EXPECT_EQ(SetItem(1, 1), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(ctx_->AppInstance.Buttons[0], 1); // the block keeps it
    EXPECT_EQ(ctx_->CanonicalButtons, 0u);
    EXPECT_EQ(memcmp(reportBefore, ctx_->XusbInputReport, sizeof(reportBefore)), 0);
    EXPECT_EQ(AppApi_AppToQuillex(ctx_, &ctx_->AppInstance), STATUS_DEVICE_NOT_READY);
    APP_INSTANCE refreshed = ctx_->AppInstance;
    EXPECT_EQ(AppApi_QuillexToApp(ctx_, &refreshed), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(memcmp(&refreshed, &ctx_->AppInstance, sizeof(refreshed)), 0);
    ctx_->AnalogValues = analog;
    EXPECT_EQ(AppApi_AppToQuillex(ctx_, &ctx_->AppInstance), STATUS_SUCCESS);
    EXPECT_EQ(ReportButtons() & XUSB_A, XUSB_A);
}

TEST_F(AppDataTest, TheRefreshFollowsTheDecodedStateAndTheClassDriversLed) {
    ctx_->CanonicalButtons = BTN_B | BTN_HOME | 0x4000;
    const ULONG values[ANALOG_VALUE_COUNT] = {1, 2, 3, 4, 15, 6, 7};
    memcpy(Analog(), values, sizeof(values));
    APP_INSTANCE block;
    memset(&block, 0xEE, sizeof(block));
    ASSERT_EQ(AppApi_QuillexToApp(ctx_, &block), STATUS_SUCCESS);
    const UCHAR buttons[13] = {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ(memcmp(block.Buttons, buttons, 13), 0);
    EXPECT_EQ(block.Padding[0], 0xEE); // left alone
    EXPECT_EQ(block.RightStickY, 1u);
    EXPECT_EQ(block.RightStickX, 2u);
    EXPECT_EQ(block.LeftStickY, 3u);
    EXPECT_EQ(block.LeftStickX, 4u);
    EXPECT_EQ(block.Dpad, 15u); // as decoded
    EXPECT_EQ(block.FirstTrigger, 7u);
    EXPECT_EQ(block.SecondTrigger, 6u);
    // The LED: the index of the state the class driver set last.
    EXPECT_EQ(block.Led, 3u); // state 2 since the mapping's initialisation
    ASSERT_EQ(TorvaXboxMappingSetLed(ctx_, 5), STATUS_SUCCESS);
    ASSERT_EQ(AppApi_QuillexToApp(ctx_, &block), STATUS_SUCCESS);
    EXPECT_EQ(block.Led, 0u);
    ASSERT_EQ(TorvaXboxMappingSetLed(ctx_, 0), STATUS_SUCCESS);
    ASSERT_EQ(AppApi_QuillexToApp(ctx_, &block), STATUS_SUCCESS);
    EXPECT_EQ(block.Led, 0xFFFFu);
    EXPECT_EQ(AppApi_QuillexToApp(ctx_, nullptr), STATUS_INVALID_PARAMETER);
}

// The push hands its report to the child outside the state lock; the child's
// cleanup must not let the child's context go while a push is still in it.
class AppPushChildTest : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(child_.InitStatus(), STATUS_SUCCESS);
        PDEVICE_CONTEXT parent = child_.Parent();
        parent->Driver = driver_.Handle();
        ASSERT_EQ(TorvaXboxMappingInit(parent), STATUS_SUCCESS);
        ASSERT_EQ(TorvaXboxMappingRestoreDefaults(parent), STATUS_SUCCESS);
        ASSERT_EQ(AppApi_Initialize(&parent->AppInstance), STATUS_SUCCESS);
        ASSERT_EQ(QuillexAllocMemory(driver_.Handle(), &parent->AnalogValues,
                                     ANALOG_VALUE_COUNT * sizeof(ULONG)),
                  STATUS_SUCCESS);
        child_.Data()->Ep1InState = 2; // past the fixed reports: transfers wait
    }
    XusbChild child_{1, 0x0402};
};

// A controller that is there but has no transfer waiting keeps the report
// for its next poll: the application's push has succeeded.
TEST_F(AppPushChildTest, APushToAControllerWithNoTransferWaitingSucceedsAndTheReportIsKept) {
    PDEVICE_CONTEXT parent = child_.Parent();
    parent->AppInstance.Buttons[0] = 1;
    EXPECT_EQ(AppApi_AppToQuillex(parent, &parent->AppInstance), STATUS_SUCCESS);
    KIRQL irql;
    KeAcquireSpinLock(&child_.Data()->PendingEp1Lock, &irql);
    const BOOLEAN held = child_.Data()->LatestReportHeld;
    const USHORT buttons =
        static_cast<USHORT>(child_.Data()->LatestReport[2] | child_.Data()->LatestReport[3] << 8);
    KeReleaseSpinLock(&child_.Data()->PendingEp1Lock, irql);
    EXPECT_TRUE(held);
    EXPECT_EQ(buttons, XUSB_A);

    // The next transfer gets it at once.
    std::array<UCHAR, 32> buffer{};
    ClassIrp transfer;
    BuildInterruptTransfer(&transfer.urb, 0x30481, buffer.data(), 32);
    EXPECT_EQ(transfer.Send(child_), STATUS_SUCCESS);
    EXPECT_EQ(buffer[3] << 8 | buffer[2], XUSB_A);
}

TEST_F(AppPushChildTest, TheChildsCleanupWaitsForAPushThatIsHandingItAReport) {
    std::array<UCHAR, 32> buffer{};
    ClassIrp transfer;
    BuildInterruptTransfer(&transfer.urb, 0x30481, buffer.data(), 32);
    std::atomic<bool> inCompletion{false}, release{false};
    transfer.onComplete = [&](ClassIrp&) {
        inCompletion = true;
        while (!release) {
        }
    };
    ASSERT_EQ(transfer.Send(child_), STATUS_PENDING);

    PDEVICE_CONTEXT parent = child_.Parent();
    parent->AppInstance.Buttons[0] = 1;
    NTSTATUS pushed = STATUS_UNSUCCESSFUL;
    std::thread push([&] { pushed = AppApi_AppToQuillex(parent, &parent->AppInstance); });
    while (!inCompletion) {
    }
    // The cleanup clears the parent's child at once (under the state lock),
    // then waits for the push to leave.
    sim::race::Pause waiting(sim::race::kRundownWaiting, &child_.Data()->HandOverRundown,
                             sim::race::Pause::Note);
    std::atomic<bool> deleted{false};
    std::thread cleanup([&] {
        child_.DeleteChild();
        deleted = true;
    });
    EXPECT_TRUE(waiting.WaitHit()) << "the cleanup did not wait for the push";
    KIRQL irql;
    KeAcquireSpinLock(&parent->StateLock, &irql);
    EXPECT_EQ(parent->XusbPdo, nullptr);
    KeReleaseSpinLock(&parent->StateLock, irql);
    EXPECT_FALSE(deleted);
    release = true;
    push.join();
    cleanup.join();
    EXPECT_TRUE(deleted);
    EXPECT_EQ(pushed, STATUS_SUCCESS);
    EXPECT_EQ(transfer.Status(), STATUS_SUCCESS);
    EXPECT_EQ(buffer[3] << 8 | buffer[2], XUSB_A);

    // With the child gone, a push composes and keeps the report.
    EXPECT_EQ(AppApi_AppToQuillex(parent, &parent->AppInstance), STATUS_SUCCESS);
}

} // namespace

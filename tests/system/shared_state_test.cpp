// The state the read completion, the application's requests and the PnP
// thread share: each race forced in the order that once broke it, with the
// simulator's pause points, and restarts that must leave nothing behind.
#include <thread>

#include "appapi/app_data.h"
#include "sim/core/race.h"
#include "sim/io/device_object.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/thread_state.h"
#include "sim/peers/app/companion.h"
#include "sim/wdf/object.h"
#include "tests/support/reader_stack.h"

namespace quillex_test {
namespace {

class SharedStateTest : public ReaderStackTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim::registry::CreateKey(stack_.RegistryPath() + "\\Parameters"));
    }

    // A reading stick and its controller, configured by the class driver.
    std::shared_ptr<sim::xbox::Controller> ReadingWithController(DeviceId* id) {
        stack_.Install(sim::xbox::Package());
        *id = PlugAndRead(0x0402);
        return ControllerOf(*id, nullptr);
    }

    // The controller on the stick's child once it is not 'previous' (a new
    // child may lie where a deleted one was: the instance tells them apart).
    std::shared_ptr<sim::xbox::Controller>
    ControllerOf(DeviceId id, const std::shared_ptr<sim::xbox::Controller>& previous) {
        PDEVICE_CONTEXT context = Context(id);
        std::shared_ptr<sim::xbox::Controller> controller;
        if (!WaitUntil([&] {
                WDFDEVICE child = QuillexChildOf(context);
                controller = child != nullptr
                                 ? sim::xbox::WaitForController(WdfDeviceWdmGetDeviceObject(child),
                                                                std::chrono::milliseconds(10))
                                 : nullptr;
                return controller != nullptr && controller != previous;
            })) {
            return nullptr;
        }
        if (controller->WaitConfigured() != STATUS_SUCCESS) {
            return nullptr;
        }
        return controller;
    }
};

TEST_F(SharedStateTest, AMappingChangeIsNeverSeenHalfDone) {
    DeviceId id = PlugStick(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    sim::app::Companion app;
    ASSERT_TRUE(app.Open(stack_.Interfaces(id).at(0)));
    REMAP_RECORD before, wanted;
    ASSERT_TRUE(app.GetMapping(&before));
    wanted = before;
    wanted.ButtonMap[0] = 3;
    wanted.SWAP_TRIGGERS = 1;
    wanted.ENABLE_SCALING = 1;
    wanted.ControlPoints[0] = 0x30;

    // While a composition holds the state lock, the change waits for it:
    // the record and its curves stay those of the mapping before.
    sim::race::Pause spinning(sim::race::kSpinLockContended, &context->StateLock,
                              sim::race::Pause::Note, "app");
    UCHAR curve[256];
    KIRQL irql;
    KeAcquireSpinLock(&context->StateLock, &irql);
    RtlCopyMemory(curve, context->CurveTables[0], sizeof(curve));
    std::thread writer([&] {
        sim::kernel::SetCurrentThreadName("app");
        EXPECT_TRUE(app.SetMapping(wanted));
    });
    const bool waited = spinning.WaitHit();
    const bool recordKept = memcmp(&context->RemapRecord, &before, sizeof(before)) == 0;
    const bool curveKept = memcmp(context->CurveTables[0], curve, sizeof(curve)) == 0;
    KeReleaseSpinLock(&context->StateLock, irql);
    writer.join();
    EXPECT_TRUE(waited) << "the mapping change never waited for the state lock";
    EXPECT_TRUE(recordKept) << "the record changed under a composition";
    EXPECT_TRUE(curveKept) << "the curves changed under a composition";

    REMAP_RECORD after;
    ASSERT_TRUE(app.GetMapping(&after));
    EXPECT_EQ(memcmp(&after, &wanted, sizeof(after)), 0);
    EXPECT_NE(memcmp(context->CurveTables[0], curve, sizeof(curve)), 0);
}

TEST_F(SharedStateTest, AStateWritePushesTheBlockItWroteEvenWhenTheRefreshCameBetween) {
    DeviceId id = 0;
    auto controller = ReadingWithController(&id);
    ASSERT_NE(controller, nullptr);
    PDEVICE_CONTEXT context = Context(id);
    sim::app::Companion app;
    ASSERT_TRUE(app.Open(stack_.Interfaces(id).at(0)));
    APP_INSTANCE block{};
    block.RightStickY = block.RightStickX = block.LeftStickX = block.LeftStickY = 128;
    block.Dpad = 8;
    block.FirstTrigger = 200; // drives the right trigger
    block.SecondTrigger = 10;
    block.Led = 3;

    // The write has stored the block and let the lock go; the reader's
    // refresh rewrites the stored block from the stick's state before the
    // push takes it.
    sim::race::Pause stored(sim::race::kSpinLockReleased, &context->StateLock,
                            sim::race::Pause::Hold, "app");
    const size_t seen = controller->CompletionCount();
    std::thread writer([&] {
        sim::kernel::SetCurrentThreadName("app");
        EXPECT_TRUE(app.SetState(block)) << std::hex << app.LastStatus();
    });
    ASSERT_TRUE(stored.WaitHit());
    EXPECT_EQ(AppApi_QuillexToApp(context, &context->AppInstance), STATUS_SUCCESS);
    stored.Release();
    writer.join();

    ASSERT_TRUE(controller->WaitCompletions(seen + 1));
    sim::xbox::Gamepad pad = controller->GamepadState();
    EXPECT_EQ(pad.leftTrigger, 10);
    EXPECT_EQ(pad.rightTrigger, 200);
}

TEST_F(SharedStateTest, AStopFreesTheDecodedValuesOnlyAfterTheStateLockLetsThemGo) {
    DeviceId id = PlugStick(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    ASSERT_NE(context->AnalogValues.Buffer, nullptr);

    // A push or a refresh holds the lock and uses the values: the stop's
    // teardown waits for it before it frees them.
    sim::race::Pause spinning(sim::race::kSpinLockContended, &context->StateLock,
                              sim::race::Pause::Note);
    KIRQL irql;
    KeAcquireSpinLock(&context->StateLock, &irql);
    void* values = context->AnalogValues.Buffer;
    std::thread stopper([&] { EXPECT_EQ(stack_.Stop(id), STATUS_SUCCESS); });
    const bool waited = spinning.WaitHit();
    const bool freedUnderTheLock = sim::pool::IsFreed(values);
    KeReleaseSpinLock(&context->StateLock, irql);
    stopper.join();
    EXPECT_TRUE(waited) << "the teardown never waited for the state lock";
    EXPECT_FALSE(freedUnderTheLock) << "the decoded values were freed while in use";
    EXPECT_EQ(context->AnalogValues.Buffer, nullptr);
    ASSERT_EQ(stack_.Start(id), STATUS_SUCCESS);
}

TEST_F(SharedStateTest, EachRestartReplacesTheControllerAndLeavesNothingOfTheOldOne) {
    DeviceId id = 0;
    auto controller = ReadingWithController(&id);
    ASSERT_NE(controller, nullptr);
    const size_t objects = sim::wdf::LiveObjectCount();
    const size_t devices = sim::io::LiveDeviceObjectCount();
    const size_t pool = sim::pool::OutstandingBlocks(QUILLEX_POOL_TAG);
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE("restart " + std::to_string(cycle + 1));
        ASSERT_EQ(stack_.Restart(id), STATUS_SUCCESS);
        // The old controller is taken away at once, before any new one.
        EXPECT_EQ(controller->GetState(), sim::xbox::Controller::State::Removed);
        EXPECT_TRUE(stack_.Children(id).empty());
        sim::io::File opener; // the next open starts the reader
        ASSERT_EQ(opener.Open(stack_.Interfaces(id).at(0), GENERIC_READ), STATUS_SUCCESS);
        PassStartupWait(id);
        opener.Close();
        auto next = ControllerOf(id, controller);
        ASSERT_NE(next, nullptr);
        controller = next;
        stack_.WaitIdle();
        EXPECT_EQ(stack_.Children(id).size(), 1u);
        EXPECT_EQ(sim::wdf::LiveObjectCount(), objects);
        EXPECT_EQ(sim::io::LiveDeviceObjectCount(), devices);
        EXPECT_EQ(sim::pool::OutstandingBlocks(QUILLEX_POOL_TAG), pool);
        sim::xbox::Forget();
    }
}

} // namespace
} // namespace quillex_test

// The arcade settings in the whole stack: turbo served by the reader thread on
// the simulated clock, the mode combination saved from the read path, and the
// settings as the application reads and writes them.
#include <gtest/gtest.h>

#include "mapping/arcade_modes.h"
#include "sim/peers/app/companion.h"
#include "sim/peers/stick/raw_reports.h"
#include "sim/peers/stick/stick.h"
#include "tests/support/reader_stack.h"

namespace quillex_test {
namespace {

using sim::stick::Layout;
using sim::stick::StickState;

class ArcadeStackTest : public ReaderStackTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim::registry::CreateKey(stack_.RegistryPath() + "\\Parameters"));
    }

    // A layout-A stick with the given settings stored, reading, and its
    // emulated controller configured.
    void PlugReading(std::initializer_list<std::pair<const char*, uint32_t>> settings) {
        for (auto [name, value] : settings) {
            ASSERT_TRUE(sim::registry::SetDword(RemapKey(), name, value));
        }
        stack_.Install(sim::xbox::Package());
        id_ = PlugAndRead(0x0402);
        context_ = Context(id_);
        ASSERT_NE(context_->XusbPdo, nullptr);
        controller_ = sim::xbox::WaitForController(WdfDeviceWdmGetDeviceObject(context_->XusbPdo));
        ASSERT_NE(controller_, nullptr);
        ASSERT_EQ(controller_->WaitConfigured(), STATUS_SUCCESS);
        stick_ = std::make_unique<sim::stick::Stick>(stack_.Hid(id_));
    }

    // Sends a state and waits for the report it makes to reach the game.
    void Send(const StickState& state) {
        size_t before = controller_->CompletionCount();
        ASSERT_EQ(stick_->Send(sim::stick::Encode(Layout::A, state)), STATUS_SUCCESS);
        ASSERT_TRUE(controller_->WaitCompletions(before + 1));
    }

    LONGLONG Deadline() {
        KIRQL irql;
        KeAcquireSpinLock(&context_->StateLock, &irql);
        LONGLONG deadline = context_->Arcade.TurboDeadline;
        KeReleaseSpinLock(&context_->StateLock, irql);
        return deadline;
    }
    LONGLONG Now() { return static_cast<LONGLONG>(KeQueryInterruptTime()); }

    // The reader parked in its wait with the next read out, and whether that
    // wait has a time-out.
    bool ReaderWaiting() {
        return WaitUntil([&] { return stack_.Hid(id_)->WaitingReads() == 1; }) &&
               WaitUntil([&] { return sim::kernel::SystemThreadsAsleep() == 1; });
    }

    void EndWhileTurboHeld(bool unplug);

    bool APressed() { return (controller_->GamepadState().buttons & sim::xbox::kA) != 0; }

    DeviceId id_ = 0;
    PDEVICE_CONTEXT context_ = nullptr;
    std::shared_ptr<sim::xbox::Controller> controller_;
    std::unique_ptr<sim::stick::Stick> stick_;
};

TEST_F(ArcadeStackTest, TurboGivesItsRateOnTheSimulatedClockAndStopsAtRelease) {
    PlugReading({{"TURBO_MASK", BTN_A}, {"TURBO_RATE", 12}});
    StickState held;
    held.buttons = sim::stick::A;
    Send(held);
    const LONGLONG pressedAt = Now();
    EXPECT_TRUE(APressed()); // the first press at once

    // Each deadline the reader serves gives one report, pressed and released
    // in turn, until a second has passed.
    int presses = 1;
    bool pressed = true;
    for (;;) {
        ASSERT_TRUE(ReaderWaiting());
        const LONGLONG deadline = Deadline();
        ASSERT_NE(deadline, 0);
        if (deadline - pressedAt >= ARCADE_TICKS_PER_SECOND) {
            break;
        }
        size_t before = controller_->CompletionCount();
        clock_.Advance(std::chrono::nanoseconds((deadline - Now()) * 100));
        ASSERT_TRUE(controller_->WaitCompletions(before + 1));
        ASSERT_NE(APressed(), pressed) << "a deadline without a change";
        presses += APressed() && !pressed;
        pressed = APressed();
    }
    EXPECT_LE(std::abs(presses - 12), 1) << presses;

    // Let go: released, and nothing more is timed or sent.
    Send(StickState());
    EXPECT_FALSE(APressed());
    ASSERT_TRUE(ReaderWaiting());
    EXPECT_EQ(Deadline(), 0);
    EXPECT_EQ(clock_.TimedWaiters(), 0u);
    size_t after = controller_->CompletionCount();
    clock_.Advance(std::chrono::seconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(controller_->CompletionCount(), after);
}

// Turbo held while the stick goes away: the reader ends, and with it every
// deadline; nothing is timed or sent afterwards.
void ArcadeStackTest::EndWhileTurboHeld(bool unplug) {
    PlugReading({{"TURBO_MASK", BTN_A | BTN_B}, {"TURBO_RATE", 30}});
    StickState held;
    held.buttons = sim::stick::A | sim::stick::B;
    Send(held);
    ASSERT_TRUE(ReaderWaiting());
    EXPECT_EQ(clock_.TimedWaiters(), 1u); // the turbo deadline

    CloseApps();
    ASSERT_EQ(unplug ? stack_.Unplug(id_) : stack_.Remove(id_), STATUS_SUCCESS);
    if (unplug) {
        stack_.WaitRemoved(id_);
    }
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 0u);
    EXPECT_EQ(clock_.TimedWaiters(), 0u);
    size_t after = controller_->CompletionCount();
    clock_.Advance(std::chrono::seconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(controller_->CompletionCount(), after);
}

TEST_F(ArcadeStackTest, TurboEndsWithTheReaderAtUnplug) {
    EndWhileTurboHeld(true);
}

TEST_F(ArcadeStackTest, TurboEndsWithTheReaderAtRemoval) {
    EndWhileTurboHeld(false);
}

TEST_F(ArcadeStackTest, TheCombinationSwitchesInTheMiddleOfAHeldDirectionAndIsSaved) {
    PlugReading({{"HOTKEYS", 1}});
    StickState s;
    s.hat = 6; // held left: the d-pad
    Send(s);
    EXPECT_EQ(controller_->GamepadState().buttons, sim::xbox::kDpadLeft);

    s.buttons = sim::stick::Back | sim::stick::Home; // the combination made on it
    Send(s);
    EXPECT_EQ(controller_->GamepadState().buttons, 0);
    EXPECT_EQ(controller_->GamepadState().thumbLX, 0);
    ASSERT_TRUE(WaitUntil([&] { return sim::registry::GetDword(RemapKey(), "DPAD_MODE") == 1u; }));

    s.buttons = sim::stick::Home; // let go in parts
    Send(s);
    s.buttons = 0;
    Send(s);
    EXPECT_EQ(controller_->GamepadState().buttons, 0);
    EXPECT_EQ(controller_->GamepadState().thumbLX, 0);
    s.hat = 8;
    Send(s);
    s.hat = 6; // a new push drives the left stick
    Send(s);
    EXPECT_EQ(controller_->GamepadState().buttons, 0);
    EXPECT_EQ(controller_->GamepadState().thumbLX, -32768);
    EXPECT_TRUE(trace_.Contains("D-pad mode 1 set by the combination"));
}

TEST_F(ArcadeStackTest, TheApplicationReadsAndSetsTheSettingsAndTheyApplyAtOnce) {
    PlugReading({});
    sim::app::Companion app;
    ASSERT_TRUE(app.Open(stack_.Interfaces(id_).at(0))) << app.LastError();
    UCHAR reply[4];
    ASSERT_TRUE(app.GetValue(QUILLEX_ITEM_INTERFACE_VERSION, reply));
    EXPECT_EQ(reply[0], QUILLEX_INTERFACE_VERSION);
    EXPECT_FALSE(app.SetValue(QUILLEX_ITEM_INTERFACE_VERSION, 1));
    EXPECT_EQ(app.LastStatus(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(app.SetValue(QUILLEX_ITEM_DPAD_MODE, 3));
    EXPECT_EQ(app.LastStatus(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(app.GetValue(QUILLEX_ITEM_SETTINGS_LAST + 1, reply));
    EXPECT_EQ(app.LastStatus(), STATUS_INVALID_DEVICE_REQUEST);

    ASSERT_TRUE(app.SetValue(QUILLEX_ITEM_DPAD_MODE, QUILLEX_DPAD_MODE_RIGHT_STICK));
    ASSERT_TRUE(app.GetValue(QUILLEX_ITEM_DPAD_MODE, reply));
    EXPECT_EQ(reply[0], QUILLEX_DPAD_MODE_RIGHT_STICK);
    EXPECT_EQ(sim::registry::GetDword(RemapKey(), "DPAD_MODE"), 2u);
    StickState s;
    s.hat = 1; // up and right
    Send(s);
    EXPECT_EQ(controller_->GamepadState().buttons, 0);
    EXPECT_EQ(controller_->GamepadState().thumbRX, 32512);
    EXPECT_EQ(controller_->GamepadState().thumbRY, 32767);

    // A restore of the mapping's defaults resets and saves the settings too.
    REMAP_RECORD restore{};
    restore.RestoreDefaults = 1;
    ASSERT_TRUE(app.SetMapping(restore));
    ASSERT_TRUE(app.GetValue(QUILLEX_ITEM_DPAD_MODE, reply));
    EXPECT_EQ(reply[0], QUILLEX_DPAD_MODE_DPAD);
    EXPECT_EQ(sim::registry::GetDword(RemapKey(), "DPAD_MODE"), 0u);
    EXPECT_EQ(sim::registry::GetDword(RemapKey(), "TURBO_RATE"), 15u);

    // Trigger targets through the mapping: BTN_A pulls the right trigger.
    REMAP_RECORD mapping;
    ASSERT_TRUE(app.GetMapping(&mapping));
    mapping.ButtonMap[0] = 13;
    ASSERT_TRUE(app.SetMapping(mapping));
    s.buttons = sim::stick::A;
    s.hat = 8;
    s.rightTrigger = 30;
    Send(s);
    EXPECT_EQ(controller_->GamepadState().rightTrigger, 255);
    EXPECT_EQ(controller_->GamepadState().buttons, 0);
}

} // namespace
} // namespace quillex_test

// The arcade modes in composition: buttons pulling triggers, the lever as a
// stick, the mode combination and turbo's phases.
#include <gtest/gtest.h>

#include <array>
#include <chrono>

#include "mapping/arcade_modes.h"
#include "mapping/curves.h"
#include "mapping/remap_store.h"
#include "mapping/xusb_report.h"
#include "sim/kernel/clock.h"
#include "tests/support/sim_fixture.h"

namespace {

using namespace quillex_test;
using Report = std::array<UCHAR, XUSB_INPUT_REPORT_LENGTH>;

struct Raw {
    ULONG buttons = 0;
    UCHAR leftX = 128, leftY = 128, rightX = 128, rightY = 128;
    ULONG hat = HAT_CENTRED;
    UCHAR leftTrigger = 0, rightTrigger = 0;
};

// X and Y of a stick as the report carries them.
struct Axes {
    SHORT x, y;
    bool operator==(const Axes& o) const { return x == o.x && y == o.y; }
};

std::ostream& operator<<(std::ostream& os, const Axes& a) {
    return os << "(" << a.x << ", " << a.y << ")";
}

const SHORT kLeftEnd = -32768, kRightEnd = 32512, kUpEnd = 32767, kDownEnd = -32512;

class ArcadeModesTest : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(TorvaXboxMappingInit(Ctx()), STATUS_SUCCESS);
        ASSERT_EQ(TorvaXboxMappingInitRemap(Ctx()), STATUS_SUCCESS);
    }
    PDEVICE_CONTEXT Ctx() { return holder_.Context(); }
    REMAP_RECORD& Map() { return Ctx()->RemapRecord; }
    ARCADE_STATE& Arcade() { return Ctx()->Arcade; }

    // Stores a decoded state as the decoder would; Track runs the read path's
    // arcade step on it, as the read completion does.
    void Decode(const Raw& raw, bool track = true) {
        ULONG* a = holder_.Analog();
        Ctx()->CanonicalButtons = raw.buttons;
        a[ANALOG_LEFT_STICK_X] = raw.leftX;
        a[ANALOG_LEFT_STICK_Y] = raw.leftY;
        a[ANALOG_RIGHT_STICK_X] = raw.rightX;
        a[ANALOG_RIGHT_STICK_Y] = raw.rightY;
        a[ANALOG_HAT] = raw.hat;
        a[ANALOG_LEFT_TRIGGER] = raw.leftTrigger;
        a[ANALOG_RIGHT_TRIGGER] = raw.rightTrigger;
        if (track) {
            ArcadeTrackInput(Ctx());
        }
    }
    Report Compose() {
        Report r;
        r.fill(0xEE);
        EXPECT_EQ(TorvaXboxMappingGetInputReport(Ctx(), r.data(), r.size()), STATUS_SUCCESS);
        return r;
    }
    Report Compose(const Raw& raw) {
        Decode(raw);
        return Compose();
    }
    static SHORT Field(const Report& r, size_t offset) {
        return static_cast<SHORT>(r[offset] | r[offset + 1] << 8);
    }
    static USHORT Buttons(const Report& r) {
        return static_cast<USHORT>(Field(r, XUSB_REPORT_BUTTONS));
    }
    static Axes Left(const Report& r) {
        return {Field(r, XUSB_REPORT_LEFT_X), Field(r, XUSB_REPORT_LEFT_Y)};
    }
    static Axes Right(const Report& r) {
        return {Field(r, XUSB_REPORT_RIGHT_X), Field(r, XUSB_REPORT_RIGHT_Y)};
    }

    ContextHolder holder_{driver_.Handle(), 0, ANALOG_VALUE_COUNT};
};

// Where each lever position puts a stick, and the d-pad bits it sets.
struct LeverCase {
    ULONG hat;
    Axes stick;
    USHORT dpad;
};
const LeverCase kLever[] = {
    {0, {0, kUpEnd}, XUSB_DPAD_UP},
    {1, {kRightEnd, kUpEnd}, XUSB_DPAD_UP | XUSB_DPAD_RIGHT},
    {2, {kRightEnd, 0}, XUSB_DPAD_RIGHT},
    {3, {kRightEnd, kDownEnd}, XUSB_DPAD_DOWN | XUSB_DPAD_RIGHT},
    {4, {0, kDownEnd}, XUSB_DPAD_DOWN},
    {5, {kLeftEnd, kDownEnd}, XUSB_DPAD_DOWN | XUSB_DPAD_LEFT},
    {6, {kLeftEnd, 0}, XUSB_DPAD_LEFT},
    {7, {kLeftEnd, kUpEnd}, XUSB_DPAD_UP | XUSB_DPAD_LEFT},
};

TEST_F(ArcadeModesTest, EachModeWithEveryLeverPosition) {
    // The stick's own input, different on each axis, shows what the lever
    // overrides and what it leaves.
    Raw raw;
    raw.leftX = 100;
    raw.leftY = 60;
    raw.rightX = 200;
    raw.rightY = 30;
    const Axes ownLeft = {(100 - 128) * 256, (128 - 60) * 256};
    const Axes ownRight = {(200 - 128) * 256, (128 - 30) * 256};

    for (UCHAR mode :
         {QUILLEX_DPAD_MODE_DPAD, QUILLEX_DPAD_MODE_LEFT_STICK, QUILLEX_DPAD_MODE_RIGHT_STICK}) {
        Arcade().DpadMode = mode;
        for (const LeverCase& c : kLever) {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", hat " + std::to_string(c.hat));
            raw.hat = c.hat;
            Report r = Compose(raw);
            EXPECT_EQ(Buttons(r), mode == QUILLEX_DPAD_MODE_DPAD ? c.dpad : 0);
            EXPECT_EQ(Left(r), mode == QUILLEX_DPAD_MODE_LEFT_STICK ? c.stick : ownLeft);
            EXPECT_EQ(Right(r), mode == QUILLEX_DPAD_MODE_RIGHT_STICK ? c.stick : ownRight);
        }
        // Centred (8) and the values no lever sends (9..15): the stick's own input.
        for (ULONG hat : {8u, 9u, 15u}) {
            raw.hat = hat;
            Report r = Compose(raw);
            EXPECT_EQ(Buttons(r), 0);
            EXPECT_EQ(Left(r), ownLeft);
            EXPECT_EQ(Right(r), ownRight);
        }
    }
}

TEST_F(ArcadeModesTest, TheLeverTakesTheStickTheGameSeesPastTheSwapAndTheCurves) {
    Arcade().DpadMode = QUILLEX_DPAD_MODE_LEFT_STICK;
    Map().SWAP_STICKS = 1;
    Map().ENABLE_SCALING = 1;
    // (0, 0) bends every axis hard: 128 becomes 32, 200 becomes 122.
    for (ULONG k = 0; k < QUILLEX_CURVE_COUNT; ++k) {
        BuildCurveTable(0, 0, Ctx()->CurveTables[k]);
    }
    Raw raw;
    raw.rightX = 200; // the physical right stick is the game's left one
    raw.hat = HAT_CENTRED;
    Report r = Compose(raw);
    EXPECT_EQ(Left(r).x, (Ctx()->CurveTables[CURVE_R_STICK_X][200] - 128) * 256);
    EXPECT_EQ(Right(r).x, (Ctx()->CurveTables[CURVE_L_STICK_X][128] - 128) * 256);

    // Pushed, the lever is not bent: up is the top, and X stays at its centre.
    raw.hat = 0;
    r = Compose(raw);
    EXPECT_EQ(Left(r), (Axes{0, kUpEnd}));
    EXPECT_EQ(Right(r).x, (Ctx()->CurveTables[CURVE_L_STICK_X][128] - 128) * 256);
}

TEST_F(ArcadeModesTest, TriggerTargetsPullFullyAndMeetTheAnalogTriggerTheCurveAndTheSwap) {
    Map().ButtonMap[0] = 13; // BTN_A pulls the right trigger
    Map().ButtonMap[1] = 12; // BTN_B the left one
    Raw raw;
    raw.leftTrigger = 40;
    raw.rightTrigger = 100;

    Report r = Compose(raw);
    EXPECT_EQ(r[XUSB_REPORT_LEFT_TRIGGER], 40);
    EXPECT_EQ(r[XUSB_REPORT_RIGHT_TRIGGER], 100);

    raw.buttons = BTN_A;
    r = Compose(raw);
    EXPECT_EQ(r[XUSB_REPORT_LEFT_TRIGGER], 40);
    EXPECT_EQ(r[XUSB_REPORT_RIGHT_TRIGGER], 255);
    EXPECT_EQ(Buttons(r), 0); // no button bit for a trigger target

    raw.buttons = BTN_A | BTN_B;
    Map().SWAP_TRIGGERS = 1;
    r = Compose(raw);
    EXPECT_EQ(r[XUSB_REPORT_LEFT_TRIGGER], 255);
    EXPECT_EQ(r[XUSB_REPORT_RIGHT_TRIGGER], 255);
    raw.buttons = BTN_B; // the left pull, swapped to the right
    r = Compose(raw);
    EXPECT_EQ(r[XUSB_REPORT_LEFT_TRIGGER], 100);
    EXPECT_EQ(r[XUSB_REPORT_RIGHT_TRIGGER], 255);

    // The curve bends the pull as it would a trigger pulled fully: (0, 0)
    // ends at 253.
    Map().SWAP_TRIGGERS = 0;
    Map().ENABLE_SCALING = 1;
    BuildCurveTable(0, 0, Ctx()->CurveTables[CURVE_L_TRIG]);
    r = Compose(raw);
    EXPECT_EQ(r[XUSB_REPORT_LEFT_TRIGGER], 253);
    EXPECT_EQ(r[XUSB_REPORT_RIGHT_TRIGGER], Ctx()->CurveTables[CURVE_R_TRIG][100]);
}

TEST_F(ArcadeModesTest, TargetsPastTheTableGiveNothing) {
    Raw raw;
    raw.buttons = BTN_A;
    for (UCHAR target : {UCHAR{11}, UCHAR{14}, UCHAR{15}, UCHAR{16}, UCHAR{0xFF}}) {
        Map().ButtonMap[0] = target;
        Report r = Compose(raw);
        EXPECT_EQ(Buttons(r), 0) << int(target);
        EXPECT_EQ(r[XUSB_REPORT_LEFT_TRIGGER], 0) << int(target);
        EXPECT_EQ(r[XUSB_REPORT_RIGHT_TRIGGER], 0) << int(target);
    }
    EXPECT_EQ(RemapButtons(Ctx()), 0);
}

TEST_F(ArcadeModesTest, TheCombinationSwitchesModesAndLeavesNothingPressed) {
    Arcade().HotkeysEnabled = QUILLEX_HOTKEYS_ON;
    Raw raw;
    raw.hat = 6; // held left in d-pad mode
    EXPECT_EQ(Buttons(Compose(raw)), XUSB_DPAD_LEFT);

    raw.buttons = BTN_BACK; // one of the pair: still the game's
    EXPECT_EQ(Buttons(Compose(raw)), XUSB_DPAD_LEFT | XUSB_BACK);

    // The pair made with the lever left: left-stick mode, and the game sees
    // nothing of it.
    raw.buttons = BTN_BACK | BTN_HOME | BTN_A;
    Report r = Compose(raw);
    EXPECT_EQ(Arcade().DpadMode, QUILLEX_DPAD_MODE_LEFT_STICK);
    EXPECT_TRUE(Arcade().ModeSavePending);
    EXPECT_EQ(Buttons(r), XUSB_A);
    EXPECT_EQ(Left(r), (Axes{0, 0}));

    // Right, then down: right stick, then the d-pad again.
    raw.hat = 2;
    r = Compose(raw);
    EXPECT_EQ(Arcade().DpadMode, QUILLEX_DPAD_MODE_RIGHT_STICK);
    EXPECT_EQ(Right(r), (Axes{0, 0}));
    raw.hat = 4;
    EXPECT_EQ(Buttons(Compose(raw)), XUSB_A);
    EXPECT_EQ(Arcade().DpadMode, QUILLEX_DPAD_MODE_DPAD);
    raw.hat = 6;
    Compose(raw);
    raw.hat = 0; // up selects nothing
    Compose(raw);
    EXPECT_EQ(Arcade().DpadMode, QUILLEX_DPAD_MODE_LEFT_STICK);

    // Let go in any order: nothing shows until all of it is let go.
    raw.hat = 6;
    raw.buttons = BTN_HOME | BTN_A;
    r = Compose(raw);
    EXPECT_EQ(Buttons(r), XUSB_A);
    EXPECT_EQ(Left(r), (Axes{0, 0}));
    raw.buttons = BTN_A;
    r = Compose(raw);
    EXPECT_EQ(Buttons(r), XUSB_A);
    EXPECT_EQ(Left(r), (Axes{0, 0}));
    raw.hat = HAT_CENTRED;
    Compose(raw);
    raw.hat = 6; // a fresh push: the game's, in the new mode
    r = Compose(raw);
    EXPECT_EQ(Left(r), (Axes{kLeftEnd, 0}));
    raw.buttons = BTN_HOME;
    EXPECT_EQ(Buttons(Compose(raw)), XUSB_START);
}

TEST_F(ArcadeModesTest, WithTheCombinationOffThePairIsTheGamesAndNothingSwitches) {
    Raw raw;
    raw.buttons = BTN_BACK | BTN_HOME;
    raw.hat = 6;
    Report r = Compose(raw);
    EXPECT_EQ(Buttons(r), XUSB_BACK | XUSB_START | XUSB_DPAD_LEFT);
    EXPECT_EQ(Arcade().DpadMode, QUILLEX_DPAD_MODE_DPAD);
    EXPECT_FALSE(Arcade().ModeSavePending);
}

class TurboPhaseTest : public ArcadeModesTest {
  protected:
    void Press(ULONG buttons) {
        raw_.buttons = buttons;
        Decode(raw_);
    }
    // Moves the clock to the next deadline and runs the reader's tick there.
    bool TickAtDeadline() {
        LONGLONG deadline = Arcade().TurboDeadline;
        EXPECT_NE(deadline, 0);
        clock_.Advance(std::chrono::nanoseconds((deadline - Now()) * 100));
        return ArcadeTurboTick(Ctx());
    }
    LONGLONG Now() { return static_cast<LONGLONG>(KeQueryInterruptTime()); }
    void AdvanceMs(int ms) { clock_.Advance(std::chrono::milliseconds(ms)); }

    sim::kernel::SimulatedClock clock_;
    Raw raw_;
};

TEST_F(TurboPhaseTest, EveryRateGivesItsPressesInASecondStartingPressedAndEndingReleased) {
    for (UCHAR rate = QUILLEX_TURBO_RATE_MIN; rate <= QUILLEX_TURBO_RATE_MAX; ++rate) {
        SCOPED_TRACE("rate " + std::to_string(rate));
        Arcade().TurboRate = rate;
        ArcadeSetTurboMask(Ctx(), BTN_A);
        AdvanceMs(7); // any moment
        const LONGLONG start = Now();
        Press(BTN_A);
        EXPECT_EQ(Buttons(Compose()), XUSB_A); // the first press is never lost
        int presses = 1;
        bool pressed = true;
        while (Arcade().TurboDeadline - start < ARCADE_TICKS_PER_SECOND) {
            ASSERT_TRUE(TickAtDeadline());
            const bool now = (Buttons(Compose()) & XUSB_A) != 0;
            EXPECT_NE(now, pressed);
            presses += now && !pressed;
            pressed = now;
        }
        EXPECT_LE(std::abs(presses - rate), 1);
        Press(0);
        EXPECT_EQ(Buttons(Compose()), 0);
        EXPECT_EQ(Arcade().TurboDeadline, 0);
        LARGE_INTEGER timeout;
        EXPECT_FALSE(ArcadeTurboTimeout(Ctx(), &timeout));
    }
}

TEST_F(TurboPhaseTest, EachButtonKeepsItsOwnPhaseAndOthersPassUntouched) {
    Arcade().TurboRate = 10; // 50 ms halves
    ArcadeSetTurboMask(Ctx(), BTN_A | BTN_B);
    Press(BTN_A | BTN_X);
    AdvanceMs(60);
    EXPECT_TRUE(ArcadeTurboTick(Ctx()));
    EXPECT_EQ(Buttons(Compose()), XUSB_X); // A in its released half
    // B goes down in A's released half: pressed at once.
    Press(BTN_A | BTN_B | BTN_X);
    EXPECT_EQ(Buttons(Compose()), XUSB_B | XUSB_X);
    AdvanceMs(40); // A at 100 ms, B at 40 ms
    EXPECT_TRUE(ArcadeTurboTick(Ctx()));
    EXPECT_EQ(Buttons(Compose()), XUSB_A | XUSB_B | XUSB_X);
    AdvanceMs(10); // B's first half ends
    EXPECT_TRUE(ArcadeTurboTick(Ctx()));
    EXPECT_EQ(Buttons(Compose()), XUSB_A | XUSB_X);

    // Leaving the mask: held plainly from now on.
    ArcadeSetTurboMask(Ctx(), BTN_A);
    EXPECT_EQ(Buttons(Compose()), XUSB_A | XUSB_B | XUSB_X);
    // Before a deadline the tick changes nothing.
    AdvanceMs(1);
    EXPECT_FALSE(ArcadeTurboTick(Ctx()));
    ArcadeTurboStop(Ctx());
    EXPECT_EQ(Arcade().TurboDeadline, 0);
    EXPECT_EQ(Arcade().HiddenButtons, 0u);
}

TEST_F(TurboPhaseTest, WithTheSettingsOffTheReadPathNeverReadsTheClock) {
    // Off, tracking leaves every run-time field as it was: no deadline, and
    // no press time taken.
    Raw raw;
    raw.buttons = CANONICAL_BUTTONS_MASK;
    raw.hat = 6;
    AdvanceMs(5);
    Decode(raw);
    EXPECT_EQ(Arcade().TurboDeadline, 0);
    EXPECT_EQ(Arcade().TurboHeld, 0u);
    EXPECT_EQ(Arcade().HiddenButtons, 0u);
    for (LONGLONG at : Arcade().TurboPressedAt) {
        EXPECT_EQ(at, 0);
    }
}

} // namespace

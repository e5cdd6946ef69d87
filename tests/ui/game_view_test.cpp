// The page's view of what a game sees must be the report the driver
// composes, for any state and any mapping.
#include <gtest/gtest.h>

#include <random>

#include "mapping/curves.h"
#include "mapping/remap_store.h"
#include "mapping/xusb_report.h"
#include "tests/support/sim_fixture.h"
#include "tools/quillexctl/ui/game_view.h"

namespace {

using namespace quillex_test;

class GameViewTest : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(TorvaXboxMappingInit(Ctx()), STATUS_SUCCESS);
        ASSERT_EQ(TorvaXboxMappingInitRemap(Ctx()), STATUS_SUCCESS);
    }
    PDEVICE_CONTEXT Ctx() { return holder_.Context(); }

    // The driver's report for the state the stick's reader would have
    // refreshed this block from, under this mapping.
    GameView DriverView(const APP_INSTANCE& s, const REMAP_RECORD& m, UCHAR dpadMode) {
        Ctx()->RemapRecord = m;
        Ctx()->Arcade.DpadMode = dpadMode;
        BuildCurveTables(Ctx());
        ULONG buttons = 0;
        for (int i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
            buttons |= s.Buttons[i] ? 1u << i : 0;
        }
        Ctx()->CanonicalButtons = buttons;
        ULONG* a = holder_.Analog();
        a[ANALOG_RIGHT_STICK_Y] = s.RightStickY;
        a[ANALOG_RIGHT_STICK_X] = s.RightStickX;
        a[ANALOG_LEFT_STICK_X] = s.LeftStickX;
        a[ANALOG_LEFT_STICK_Y] = s.LeftStickY;
        a[ANALOG_HAT] = s.Dpad;
        a[ANALOG_LEFT_TRIGGER] = s.FirstTrigger;
        a[ANALOG_RIGHT_TRIGGER] = s.SecondTrigger;
        UCHAR r[XUSB_INPUT_REPORT_LENGTH];
        EXPECT_EQ(TorvaXboxMappingGetInputReport(Ctx(), r, sizeof(r)), STATUS_SUCCESS);
        auto field = [&](size_t at) { return static_cast<int16_t>(r[at] | r[at + 1] << 8); };
        GameView v;
        v.buttons = static_cast<uint16_t>(field(XUSB_REPORT_BUTTONS));
        v.leftTrigger = r[XUSB_REPORT_LEFT_TRIGGER];
        v.rightTrigger = r[XUSB_REPORT_RIGHT_TRIGGER];
        v.leftX = field(XUSB_REPORT_LEFT_X);
        v.leftY = field(XUSB_REPORT_LEFT_Y);
        v.rightX = field(XUSB_REPORT_RIGHT_X);
        v.rightY = field(XUSB_REPORT_RIGHT_Y);
        return v;
    }

    ContextHolder holder_{driver_.Handle(), 0, ANALOG_VALUE_COUNT};
};

void ExpectSame(const GameView& page, const GameView& driver, int round) {
    EXPECT_EQ(page.buttons, driver.buttons) << "round " << round;
    EXPECT_EQ(page.leftTrigger, driver.leftTrigger) << "round " << round;
    EXPECT_EQ(page.rightTrigger, driver.rightTrigger) << "round " << round;
    EXPECT_EQ(page.leftX, driver.leftX) << "round " << round;
    EXPECT_EQ(page.leftY, driver.leftY) << "round " << round;
    EXPECT_EQ(page.rightX, driver.rightX) << "round " << round;
    EXPECT_EQ(page.rightY, driver.rightY) << "round " << round;
}

TEST_F(GameViewTest, TheDefaultMappingGivesTheDriversWorkedExample) {
    APP_INSTANCE s{};
    s.Buttons[0] = 1;  // BTN_A
    s.Buttons[10] = 1; // BTN_PWR
    s.Dpad = 2;
    s.LeftStickX = 128;
    s.LeftStickY = 0;
    s.RightStickX = 255;
    s.RightStickY = 255;
    s.FirstTrigger = 10;
    s.SecondTrigger = 200;
    GameView v = ComposeGameView(s, Ctx()->RemapRecord);
    EXPECT_EQ(v.buttons, 0x1408);
    EXPECT_EQ(v.leftTrigger, 10);
    EXPECT_EQ(v.rightTrigger, 200);
    EXPECT_EQ(v.leftX, 0);
    EXPECT_EQ(v.leftY, 32767);
    EXPECT_EQ(v.rightX, 32512);
    EXPECT_EQ(v.rightY, -32512);
}

// Random states and mappings, swaps, curves, trigger targets, out-of-table
// button targets, the lever modes and hat values past the d-pad table
// included.
TEST_F(GameViewTest, EqualsTheDriversReportForRandomStatesAndMappings) {
    std::mt19937 random(24);
    for (int round = 0; round < 2000; ++round) {
        APP_INSTANCE s{};
        for (int i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
            s.Buttons[i] = random() % 3 == 0;
        }
        s.RightStickY = random() % 300;
        s.RightStickX = random() % 256;
        s.LeftStickX = random() % 256;
        s.LeftStickY = random() % 256;
        s.Dpad = random() % 12;
        s.FirstTrigger = random() % 256;
        s.SecondTrigger = random() % 256;
        REMAP_RECORD m{};
        for (int i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
            m.ButtonMap[i] = random() % 17;
        }
        m.SWAP_TRIGGERS = random() % 2;
        m.SWAP_STICKS = random() % 3;
        m.ENABLE_SCALING = random() % 2;
        for (int j = 0; j < QUILLEX_CONTROL_POINT_COUNT; ++j) {
            m.ControlPoints[j] = random() % 256;
        }
        UCHAR mode = random() % 3;
        ExpectSame(ComposeGameView(s, m, mode), DriverView(s, m, mode), round);
        if (HasFailure()) {
            return;
        }
    }
}

} // namespace

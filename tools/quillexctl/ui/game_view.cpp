#include "tools/quillexctl/ui/game_view.h"

#include "mapping/curves.h"
#include "mapping/xusb_report.h"

namespace {

int16_t AxisX(uint8_t v) {
    return static_cast<int16_t>((v - 128) * 256);
}

// Up is positive; the one value that would read -32768 (raw 0) is the top.
int16_t AxisY(uint8_t v) {
    int y = (-128 - v) * 256;
    int16_t folded = static_cast<int16_t>(static_cast<uint16_t>(y & 0xFFFF));
    return folded == -32768 ? 32767 : folded;
}

} // namespace

GameView ComposeGameView(const APP_INSTANCE& state, const REMAP_RECORD& mapping) {
    GameView view;
    if (state.Dpad < DPAD_TABLE_COUNT) {
        view.buttons |= DpadTable[state.Dpad];
    }
    for (int i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        uint8_t target = mapping.ButtonMap[i];
        if (state.Buttons[i] != 0 && target < XUSB_BUTTON_INDEX_COUNT) {
            view.buttons |= XusbButtonTable[target];
        }
    }
    uint8_t rightTrigger = static_cast<uint8_t>(state.SecondTrigger);
    uint8_t leftTrigger = static_cast<uint8_t>(state.FirstTrigger);
    uint8_t rightX = static_cast<uint8_t>(state.RightStickX);
    uint8_t rightY = static_cast<uint8_t>(state.RightStickY);
    uint8_t leftX = static_cast<uint8_t>(state.LeftStickX);
    uint8_t leftY = static_cast<uint8_t>(state.LeftStickY);
    if (mapping.ENABLE_SCALING != 0) {
        UCHAR table[256];
        auto bend = [&](int curve, uint8_t* value) {
            BuildCurveTable(mapping.ControlPoints[2 * curve], mapping.ControlPoints[2 * curve + 1],
                            table);
            *value = table[*value];
        };
        bend(CURVE_R_TRIG, &rightTrigger);
        bend(CURVE_L_TRIG, &leftTrigger);
        bend(CURVE_R_STICK_X, &rightX);
        bend(CURVE_R_STICK_Y, &rightY);
        bend(CURVE_L_STICK_X, &leftX);
        bend(CURVE_L_STICK_Y, &leftY);
    }
    bool swapTriggers = mapping.SWAP_TRIGGERS != 0;
    view.leftTrigger = swapTriggers ? rightTrigger : leftTrigger;
    view.rightTrigger = swapTriggers ? leftTrigger : rightTrigger;
    bool swapSticks = mapping.SWAP_STICKS != 0;
    view.leftX = AxisX(swapSticks ? rightX : leftX);
    view.leftY = AxisY(swapSticks ? rightY : leftY);
    view.rightX = AxisX(swapSticks ? leftX : rightX);
    view.rightY = AxisY(swapSticks ? leftY : rightY);
    return view;
}

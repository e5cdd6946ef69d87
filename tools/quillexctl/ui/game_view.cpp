#include "tools/quillexctl/ui/game_view.h"

// The driver's own tables, built for Windows programs as well.
#include "mapping/curve_table.h"
#include "mapping/xusb_tables.h"

namespace {

// Where the lever puts the stick in a stick mode, on the raw scale, by hat
// value (up is 0 on Y, as a stick pushed up reads): the driver's own table.
const uint8_t kLeverX[8] = {128, 255, 255, 255, 128, 0, 0, 0};
const uint8_t kLeverY[8] = {0, 0, 128, 255, 255, 255, 128, 0};

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

GameView ComposeGameView(const APP_INSTANCE& state, const REMAP_RECORD& mapping,
                         uint32_t dpadMode) {
    GameView view;
    if (dpadMode == QUILLEX_DPAD_MODE_DPAD && state.Dpad < DPAD_TABLE_COUNT) {
        view.buttons |= DpadTable[state.Dpad];
    }
    uint8_t rightTrigger = static_cast<uint8_t>(state.SecondTrigger);
    uint8_t leftTrigger = static_cast<uint8_t>(state.FirstTrigger);
    for (int i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        uint8_t target = mapping.ButtonMap[i];
        if (state.Buttons[i] == 0) {
            continue;
        }
        if (target < XUSB_BUTTON_INDEX_COUNT) {
            view.buttons |= XusbButtonTable[target];
        } else if (target == QUILLEX_MAPPING_TARGET_LEFT_TRIGGER) {
            leftTrigger = 0xFF; // fully pulled, before the curve and the swap
        } else if (target == QUILLEX_MAPPING_TARGET_RIGHT_TRIGGER) {
            rightTrigger = 0xFF;
        }
    }
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
    uint8_t gameLeftX = swapSticks ? rightX : leftX;
    uint8_t gameLeftY = swapSticks ? rightY : leftY;
    uint8_t gameRightX = swapSticks ? leftX : rightX;
    uint8_t gameRightY = swapSticks ? leftY : rightY;
    // A pushed lever takes the stick the game sees, past its curve.
    if (state.Dpad < 8 && dpadMode == QUILLEX_DPAD_MODE_LEFT_STICK) {
        gameLeftX = kLeverX[state.Dpad];
        gameLeftY = kLeverY[state.Dpad];
    } else if (state.Dpad < 8 && dpadMode == QUILLEX_DPAD_MODE_RIGHT_STICK) {
        gameRightX = kLeverX[state.Dpad];
        gameRightY = kLeverY[state.Dpad];
    }
    view.leftX = AxisX(gameLeftX);
    view.leftY = AxisY(gameLeftY);
    view.rightX = AxisX(gameRightX);
    view.rightY = AxisY(gameRightY);
    return view;
}

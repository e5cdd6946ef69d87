#include "tools/quillex-sim/view/gamepad_view.h"

#include "mapping/xusb_report.h"

const char* XboxButtonName(uint8_t index) {
    static const char* const kNames[XUSB_BUTTON_INDEX_COUNT] = {
        "A",    "B",     "X",          "Y",           "LEFT_SHOULDER", "RIGHT_SHOULDER",
        "BACK", "START", "LEFT_THUMB", "RIGHT_THUMB", "GUIDE",         "none"};
    return index < XUSB_BUTTON_INDEX_COUNT ? kNames[index] : "none (past the table)";
}

#include "tools/quillex-sim/gamepad_view.h"

#include "mapping/xusb_report.h"

// Mapping targets: the Xbox buttons, none, and the two triggers (12, 13).
constexpr uint8_t kTargetCount = 14;

const char* XboxButtonName(uint8_t index) {
    static const char* const kNames[kTargetCount] = {
        "A",    "B",     "X",          "Y",           "LEFT_SHOULDER", "RIGHT_SHOULDER",
        "BACK", "START", "LEFT_THUMB", "RIGHT_THUMB", "GUIDE",         "none",
        "LT",   "RT"};
    return index < kTargetCount ? kNames[index] : "none (past the table)";
}

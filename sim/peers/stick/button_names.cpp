// The canonical buttons' names, apart from the reports: quillexctl names
// buttons with them on Windows too, where the simulated stick does not go.
#include "sim/peers/stick/raw_reports.h"

namespace sim::stick {

const char* const kButtonNames[13] = {
    "BTN_A",
    "BTN_B",
    "BTN_X",
    "BTN_Y",
    "BTN_LEFT_TRIGGER",
    "BTN_RIGHT_TRIGGER",
    "BTN_BACK",
    "BTN_RIGHT_TRIANGLE",
    "BTN_LEFT_JOY_PRESS",
    "BTN_RIGHT_JOY_PRESS",
    "BTN_PWR",
    "BTN_HOME",
    "BTN_LEFT_TRIANGLE",
};

std::string ButtonNames(uint32_t buttons) {
    std::string out;
    for (int i = 0; i < 13; ++i) {
        if (buttons & (1u << i)) {
            out += out.empty() ? "" : " ";
            out += kButtonNames[i];
        }
    }
    return out.empty() ? "-" : out;
}

} // namespace sim::stick

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

Layout LayoutForProductId(uint32_t productId) {
    const Model* model = ModelWithProductId(productId);
    // The driver decodes every stick that is not layout A's as layout B.
    return model != nullptr ? model->layout : Layout::B;
}

namespace {

uint8_t Bits(uint32_t buttons, std::initializer_list<std::pair<uint32_t, int>> map) {
    uint8_t out = 0;
    for (auto [button, bit] : map) {
        if (buttons & button) {
            out |= static_cast<uint8_t>(1u << bit);
        }
    }
    return out;
}

} // namespace

std::vector<uint8_t> Encode(Layout layout, const StickState& s) {
    if (layout == Layout::A) {
        std::vector<uint8_t> r(kLayoutALength, 0);
        r[0] =
            Bits(s.buttons, {{X, 0}, {A, 1}, {B, 2}, {Y, 3}, {LeftTrigger, 4}, {RightTrigger, 5}});
        r[1] = Bits(s.buttons,
                    {{Back, 0}, {Home, 1}, {LeftJoyPress, 2}, {RightJoyPress, 3}, {Power, 4}});
        r[2] = s.hat & 0x0F;
        r[3] = s.leftX;
        r[4] = s.leftY;
        r[5] = s.rightX;
        r[6] = s.rightY;
        r[17] = s.leftTrigger;
        r[18] = s.rightTrigger;
        return r;
    }
    std::vector<uint8_t> r(kLayoutBLength, 0);
    r[0] = kLayoutBReportId;
    r[1] = s.leftX;
    r[2] = s.leftY;
    r[3] = s.rightX;
    r[4] = s.rightY;
    r[5] = static_cast<uint8_t>((s.hat & 0x0F) | Bits(s.buttons, {{X, 4}, {A, 5}, {B, 6}, {Y, 7}}));
    r[6] = Bits(s.buttons, {{LeftTrigger, 0},
                            {RightTrigger, 1},
                            {Back, 4},
                            {Home, 5},
                            {LeftJoyPress, 6},
                            {RightJoyPress, 7}});
    r[7] = Bits(s.buttons, {{Power, 0}});
    r[8] = s.leftTrigger;
    r[9] = s.rightTrigger;
    return r;
}

std::vector<ScriptedReport> DemoScript() {
    std::vector<ScriptedReport> script;
    StickState s;
    script.push_back({"at rest", s});
    script.push_back({"at rest again", s});
    s.buttons = A;
    script.push_back({"press A", s});
    s.buttons = A | Power;
    script.push_back({"hold A, press guide", s});
    s.buttons = 0;
    s.hat = 2;
    script.push_back({"release, d-pad right", s});
    s.hat = 8;
    s.leftX = 255;
    s.leftY = 0;
    script.push_back({"left stick up-right", s});
    s.leftX = 128;
    s.leftY = 128;
    s.rightTrigger = 200;
    s.leftTrigger = 10;
    script.push_back({"pull triggers", s});
    s.rightTrigger = 0;
    s.leftTrigger = 0;
    s.buttons = Back | Home;
    script.push_back({"back and home", s});
    s.buttons = 0;
    script.push_back({"release all", s});
    return script;
}

} // namespace sim::stick

// The arcade stick's raw input reports, as the stick itself would send them.
//
// A stick state is written into the byte layout of a model (models.h): layout
// A or layout B, which the driver also assumes for a product id it does not
// know. Tests and the simulated stick build their reports here rather than by
// hand.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "sim/peers/stick/models.h"

namespace sim::stick {

// The two layouts' figures, from the table of models (models.h).
inline constexpr uint16_t kLayoutAProductId = ModelOf(Layout::A).productId;
inline constexpr uint16_t kLayoutBProductId = ModelOf(Layout::B).productId;
inline constexpr size_t kLayoutALength = ModelOf(Layout::A).reportLength;
inline constexpr size_t kLayoutBLength = ModelOf(Layout::B).reportLength;
// Layout B reports carry their report id in byte 0.
inline constexpr uint8_t kLayoutBReportId = ModelOf(Layout::B).reportId;

// Canonical buttons, in the bit order of the driver's decoded button word.
enum Button : uint32_t {
    A = 1u << 0,
    B = 1u << 1,
    X = 1u << 2,
    Y = 1u << 3,
    LeftTrigger = 1u << 4,
    RightTrigger = 1u << 5,
    Back = 1u << 6,
    RightTriangle = 1u << 7,
    LeftJoyPress = 1u << 8,
    RightJoyPress = 1u << 9,
    Power = 1u << 10,
    Home = 1u << 11,
    LeftTriangle = 1u << 12,
};

// The 13 canonical button names, by bit.
extern const char* const kButtonNames[13];
std::string ButtonNames(uint32_t buttons);

struct StickState {
    uint32_t buttons = 0;
    uint8_t leftX = 128, leftY = 128, rightX = 128, rightY = 128;
    uint8_t hat = 8; // 0..7 from up clockwise, 8 centred
    uint8_t leftTrigger = 0, rightTrigger = 0;
};

Layout LayoutForProductId(uint32_t productId);
std::vector<uint8_t> Encode(Layout layout, const StickState& state);

// A short scripted session: a few presses, stick sweeps and trigger pulls.
struct ScriptedReport {
    std::string what;
    StickState state;
};
std::vector<ScriptedReport> DemoScript();

} // namespace sim::stick

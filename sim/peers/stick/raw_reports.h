// The arcade stick's raw input reports, as the stick itself would send them.
//
// A stick state is written into the byte layout of either model: layout A
// (product id 0x402) or layout B (every other product id). Tests and the
// simulated stick build their reports here rather than by hand.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace sim::stick {

enum class Layout { A, B };

inline constexpr uint16_t kLayoutAProductId = 0x0402;
inline constexpr uint16_t kLayoutBProductId = 0x0403;
inline constexpr size_t kLayoutALength = 19;
inline constexpr size_t kLayoutBLength = 10;
// Layout B reports carry report id 1 in byte 0.
inline constexpr uint8_t kLayoutBReportId = 1;

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

#include "tools/common/mapping_names.h"

#include <stdio.h>
#include <strings.h>

#include <stdexcept>

#include "sim/peers/stick/raw_reports.h"

namespace {

// Short names players use for the same buttons.
struct Alias {
    const char* alias;
    uint8_t index;
};
const Alias kXboxAliases[] = {{"LB", 4}, {"RB", 5}, {"LS", 8}, {"RS", 9}, {"HOME", 10}};

bool Same(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

} // namespace

bool ParseNumber(const std::string& what, const std::string& text, uint64_t max, uint64_t* value,
                 std::string* error) {
    size_t used = 0;
    unsigned long long parsed = 0;
    bool ok = !text.empty() && text[0] != '-' && text[0] != '+';
    if (ok) {
        try {
            parsed = std::stoull(text, &used, 0);
        } catch (const std::exception&) {
            ok = false;
        }
    }
    if (!ok || used != text.size()) {
        *error = what + ": '" + text + "' is not a number; give 0 to " + std::to_string(max) +
                 " (decimal, or hex as 0x..)";
        return false;
    }
    if (parsed > max) {
        *error =
            what + ": " + text + " is out of range; valid values are 0 to " + std::to_string(max);
        return false;
    }
    *value = parsed;
    return true;
}

const std::vector<MappingValue>& MappingValues() {
    static const std::vector<MappingValue> values = [] {
        static const char* const kPoints[QUILLEX_CONTROL_POINT_COUNT] = {
            "R_TRIG_CP_1",    "R_TRIG_CP_2",    "L_TRIG_CP_1",    "L_TRIG_CP_2",
            "R_STICK_X_CP_1", "R_STICK_X_CP_2", "R_STICK_Y_CP_1", "R_STICK_Y_CP_2",
            "L_STICK_X_CP_1", "L_STICK_X_CP_2", "L_STICK_Y_CP_1", "L_STICK_Y_CP_2"};
        std::vector<MappingValue> v;
        for (size_t i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
            v.push_back({sim::stick::kButtonNames[i], offsetof(REMAP_RECORD, ButtonMap) + i,
                         MappingKind::Button});
        }
        v.push_back({"SWAP_TRIGGERS", offsetof(REMAP_RECORD, SWAP_TRIGGERS), MappingKind::Flag});
        v.push_back({"SWAP_STICKS", offsetof(REMAP_RECORD, SWAP_STICKS), MappingKind::Flag});
        v.push_back({"ENABLE_SCALING", offsetof(REMAP_RECORD, ENABLE_SCALING), MappingKind::Flag});
        for (size_t j = 0; j < QUILLEX_CONTROL_POINT_COUNT; ++j) {
            v.push_back(
                {kPoints[j], offsetof(REMAP_RECORD, ControlPoints) + j, MappingKind::ControlPoint});
        }
        return v;
    }();
    return values;
}

const MappingValue* FindMappingValue(const std::string& name) {
    for (const MappingValue& field : MappingValues()) {
        if (Same(name, field.name)) {
            return &field;
        }
    }
    return nullptr;
}

std::string GuessMappingValue(const std::string& name) {
    std::vector<std::string> names;
    for (const MappingValue& field : MappingValues()) {
        names.push_back(field.name);
    }
    return ClosestName(name, names);
}

std::string MappingRange(const MappingValue& field) {
    switch (field.kind) {
    case MappingKind::Button: {
        std::string range = "an Xbox button:";
        for (uint8_t i = 0; i < kXboxButtonCount; ++i) {
            range += " " + std::string(XboxButtonName(i)) + " (" + std::to_string(i) + ")";
        }
        return range;
    }
    case MappingKind::Flag:
        return "0 (off) or 1 (on)";
    default:
        return "0 to 255";
    }
}

bool ParseMappingValue(const MappingValue& field, const std::string& text, uint8_t* value,
                       std::string* error) {
    if (field.kind == MappingKind::Button) {
        for (uint8_t i = 0; i < kXboxButtonCount; ++i) {
            if (Same(text, XboxButtonName(i))) {
                *value = i;
                return true;
            }
        }
        for (const Alias& a : kXboxAliases) {
            if (Same(text, a.alias)) {
                *value = a.index;
                return true;
            }
        }
    }
    uint64_t max = field.kind == MappingKind::Button ? kXboxButtonCount - 1
                   : field.kind == MappingKind::Flag ? 1
                                                     : 255;
    uint64_t number = 0;
    if (!ParseNumber(field.name, text, max, &number, error)) {
        bool word = error->find("is not a number") != std::string::npos;
        *error = std::string(field.name) + ": '" + text + "' is " +
                 (word ? "no name it takes" : "out of range") + "; valid values are " +
                 MappingRange(field);
        return false;
    }
    *value = static_cast<uint8_t>(number);
    return true;
}

const std::vector<ArcadeSettingName>& ArcadeSettingNames() {
    static const std::vector<ArcadeSettingName> settings = {
        {"DPAD_MODE", QUILLEX_ITEM_DPAD_MODE, 0, QUILLEX_DPAD_MODE_MAX},
        {"TURBO_MASK", QUILLEX_ITEM_TURBO_MASK, 0, QUILLEX_TURBO_MASK_ALL},
        {"TURBO_RATE", QUILLEX_ITEM_TURBO_RATE, QUILLEX_TURBO_RATE_MIN, QUILLEX_TURBO_RATE_MAX},
        {"HOTKEYS", QUILLEX_ITEM_HOTKEYS, QUILLEX_HOTKEYS_OFF, QUILLEX_HOTKEYS_ON}};
    return settings;
}

const ArcadeSettingName* FindArcadeSetting(const std::string& name) {
    for (const ArcadeSettingName& setting : ArcadeSettingNames()) {
        if (Same(name, setting.name)) {
            return &setting;
        }
    }
    return nullptr;
}

std::string ArcadeSettingRange(const ArcadeSettingName& setting) {
    char range[48];
    snprintf(range, sizeof(range), setting.max > 255 ? "0x%X to 0x%X" : "%u to %u", setting.min,
             setting.max);
    return range;
}

const char* LeverModeName(uint32_t mode) {
    static const char* const kModes[] = {"dpad", "left", "right"};
    return mode <= QUILLEX_DPAD_MODE_MAX ? kModes[mode] : "?";
}

std::vector<std::string> TurboButtonNames(uint32_t mask) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        if (mask & (1u << i)) {
            names.push_back(sim::stick::kButtonNames[i]);
        }
    }
    return names;
}

bool ParseCanonicalButton(const std::string& text, uint32_t* bit) {
    for (uint32_t i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        const char* name = sim::stick::kButtonNames[i];
        if (Same(text, name) || Same(text, name + 4)) {
            *bit = 1u << i;
            return true;
        }
    }
    return false;
}

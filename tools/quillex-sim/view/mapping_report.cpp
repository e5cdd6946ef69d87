#include "tools/quillex-sim/view/mapping_report.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>

#include <set>

#include "mapping/curves.h"
#include "mapping/remap_store.h"
#include "mapping/xusb_report.h"
#include "sim/core/utf.h"
#include "sim/peers/stick/raw_reports.h"
#include "sim/registry/registry.h"
#include "tools/common/control_names.h"
#include "tools/common/mapping_names.h"

namespace {

constexpr ULONG kFlagsStart = QUILLEX_CANONICAL_BUTTON_COUNT;
constexpr ULONG kRestoreDefaults = FIELD_OFFSET(REMAP_RECORD, RestoreDefaults);
constexpr ULONG kCurvesStart = kRestoreDefaults + 1;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    return line;
}

const char* TypeName(ULONG type) {
    switch (type) {
    case REG_NONE:
        return "REG_NONE";
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    case REG_QWORD:
        return "REG_QWORD";
    default:
        return "an unusual type";
    }
}

// The number in the first four data bytes, little-endian (a REG_DWORD's),
// missing bytes as zero.
uint32_t AsDriverReadsIt(const std::vector<uint8_t>& data) {
    uint32_t n = 0;
    for (size_t i = 0; i < 4 && i < data.size(); ++i) {
        n |= static_cast<uint32_t>(data[i]) << (8 * i);
    }
    return n;
}

std::string Stored(const sim::registry::Value& v) {
    if (v.type == REG_DWORD && v.data.size() == 4) {
        return Format("REG_DWORD 0x%08X", AsDriverReadsIt(v.data));
    }
    std::string bytes;
    for (size_t i = 0; i < v.data.size() && i < 12; ++i) {
        bytes += Format("%s%02x", i ? " " : "", v.data[i]);
    }
    return Format("%s, %zu bytes: %s%s", TypeName(v.type), v.data.size(), bytes.c_str(),
                  v.data.size() > 12 ? " ..." : "");
}

// What the driver makes of a stored value it reads: it takes a 4-byte
// REG_DWORD whose number fits a byte and ignores anything else, keeping the
// byte it had ('kept', the default at load).
std::string Warnings(ULONG offset, const sim::registry::Value& v, UCHAR kept) {
    if (v.type != REG_DWORD || v.data.size() != 4) {
        return Format("      warning: not a 4-byte REG_DWORD (%s, %zu bytes): the driver ignores "
                      "it and keeps 0x%02X\n",
                      TypeName(v.type), v.data.size(), kept);
    }
    uint32_t n = AsDriverReadsIt(v.data);
    if (n > 0xFF) {
        return Format("      warning: 0x%X does not fit a byte: the driver ignores it and keeps "
                      "0x%02X\n",
                      n, kept);
    }
    if (offset < kFlagsStart && n > QUILLEX_MAPPING_TARGET_RIGHT_TRIGGER) {
        return Format("      warning: %u is no Xbox button (0..10, 11 for none, 12 and 13 the "
                      "triggers): the button gives nothing\n",
                      n);
    }
    return std::string();
}

// Value names compare without regard to case, as the registry's do.
std::string Upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

struct Axis {
    const char* name;
    const char* rest; // what the input is at rest
    unsigned restValue;
};
// In curve table order.
constexpr Axis kAxes[QUILLEX_CURVE_COUNT] = {
    {"right trigger", "released", 0},  {"left trigger", "released", 0},
    {"right stick X", "centred", 128}, {"right stick Y", "centred", 128},
    {"left stick X", "centred", 128},  {"left stick Y", "centred", 128},
};

std::string DescribeCurve(unsigned k, UCHAR p1, UCHAR p2) {
    UCHAR table[256];
    BuildCurveTable(p1, p2, table);
    const Axis& axis = kAxes[k];
    std::string out = Format("  %-14s (%3u, %3u): ", axis.name, p1, p2);
    bool identity = true;
    for (unsigned i = 0; i < 256; ++i) {
        identity = identity && table[i] == i;
    }
    if (identity) {
        return out + "passes the input through unchanged\n";
    }
    // Sensitivity just off rest: how far the output moves for 16 steps.
    unsigned probe = axis.restValue + 16;
    int moved = static_cast<int>(table[probe]) - static_cast<int>(table[axis.restValue]);
    const char* feel = moved < 16 ? "softer" : moved > 16 ? "quicker" : "as direct";
    out += Format("%s %u gives %u, %u gives %u (%s than the raw input near rest); ", axis.rest,
                  axis.restValue, table[axis.restValue], probe, table[probe], feel);
    unsigned full = 256;
    for (unsigned i = 0; i < 256 && full == 256; ++i) {
        full = table[i] == 255 ? i : 256;
    }
    if (full == 256) {
        out += Format("the end 255 gives only %u, never full\n", table[255]);
    } else if (full < 255) {
        out += Format("full 255 already at %u\n", full);
    } else {
        out += "full 255 at the end\n";
    }
    return out;
}

// The settings beside the record, with what each value in force means.
struct Setting {
    const char* name;
    ULONG value;
    std::string meaning;
};

std::vector<Setting> Settings(const ARCADE_STATE& a) {
    static const char* const kModes[] = {"d-pad", "left stick", "right stick"};
    std::string turbo;
    for (const std::string& name : TurboButtonNames(a.TurboMask)) {
        turbo += (turbo.empty() ? "" : " ") + name;
    }
    return {{"DPAD_MODE", a.DpadMode, a.DpadMode < 3 ? kModes[a.DpadMode] : "?"},
            {"TURBO_MASK", a.TurboMask, turbo.empty() ? "no turbo" : turbo},
            {"TURBO_RATE", a.TurboRate, "a second"},
            {"HOTKEYS", a.HotkeysEnabled, a.HotkeysEnabled ? "on" : "off"}};
}

} // namespace

std::string DescribeStoredMapping(const std::string& keyPath, const REMAP_RECORD& loaded,
                                  const ARCADE_STATE& settings) {
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(&loaded);
    std::vector<sim::registry::Value> stored = sim::registry::Values(keyPath);
    std::string out = "   mapping as stored in " + keyPath + "\n";
    std::set<std::string> known;
    for (ULONG offset = 0; offset < sizeof(REMAP_RECORD); ++offset) {
        PCWSTR wideName = nullptr;
        if (!NT_SUCCESS(RemapValueName(offset, &wideName))) {
            continue; // RestoreDefaults is no stored value
        }
        std::string name = sim::Utf16ToUtf8(wideName);
        known.insert(Upper(name));
        const char* meaning = "";
        if (offset < kFlagsStart) {
            meaning = XboxButtonName(bytes[offset]);
        } else if (offset < kRestoreDefaults) {
            meaning = bytes[offset] != 0 ? "on" : "off";
        }
        std::optional<sim::registry::Value> value = sim::registry::GetValue(keyPath, name);
        std::string how = value ? "(" + Stored(*value) + ")" : "(not stored: the default)";
        out += Format("  %-20s = 0x%02X  %-15s %s\n", name.c_str(), bytes[offset], meaning,
                      how.c_str());
        if (value) {
            out += Warnings(offset, *value, bytes[offset]);
        }
    }
    out += "   settings beside it\n";
    for (const Setting& setting : Settings(settings)) {
        known.insert(setting.name);
        std::optional<sim::registry::Value> value = sim::registry::GetValue(keyPath, setting.name);
        std::string how = value ? "(" + Stored(*value) + ")" : "(not stored: the default)";
        out += Format("  %-20s = 0x%02X  %-15s %s\n", setting.name, setting.value,
                      setting.meaning.c_str(), how.c_str());
        if (value && (value->type != REG_DWORD || value->data.size() != 4)) {
            out += "      warning: not a 4-byte REG_DWORD: the driver keeps the default\n";
        } else if (value && AsDriverReadsIt(value->data) != setting.value) {
            out += Format("      warning: %u is out of range: the driver keeps the default\n",
                          AsDriverReadsIt(value->data));
        }
    }
    for (const sim::registry::Value& v : stored) {
        if (known.count(Upper(v.name)) == 0) {
            out += Format("  %-20s   (%s)\n      warning: the driver does not read this value\n",
                          v.name.empty() ? "(default)" : v.name.c_str(), Stored(v).c_str());
        }
    }
    out += loaded.ENABLE_SCALING != 0
               ? "   curves (ENABLE_SCALING is on: every report goes through them)\n"
               : "   curves (ENABLE_SCALING is off: built, but reports do not go through them)\n";
    for (unsigned k = 0; k < QUILLEX_CURVE_COUNT; ++k) {
        out += DescribeCurve(k, bytes[kCurvesStart + 2 * k], bytes[kCurvesStart + 2 * k + 1]);
    }
    return out;
}

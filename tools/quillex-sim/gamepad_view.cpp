#include "tools/quillex-sim/gamepad_view.h"

#include <stdio.h>

#include "mapping/remap_store.h"
#include "mapping/xusb_report.h"
#include "sim/core/utf.h"

namespace {

// XInput's names for the bits of the button field, lowest bit first.
const char* const kButtonBitNames[16] = {"DPAD_UP",
                                         "DPAD_DOWN",
                                         "DPAD_LEFT",
                                         "DPAD_RIGHT",
                                         "START",
                                         "BACK",
                                         "LEFT_THUMB",
                                         "RIGHT_THUMB",
                                         "LEFT_SHOULDER",
                                         "RIGHT_SHOULDER",
                                         "GUIDE",
                                         nullptr,
                                         "A",
                                         "B",
                                         "X",
                                         "Y"};

int16_t Signed(const uint8_t* at) {
    return static_cast<int16_t>(at[0] | at[1] << 8);
}

} // namespace

std::string DescribeGamepad(const uint8_t* report) {
    uint16_t buttons =
        static_cast<uint16_t>(report[XUSB_REPORT_BUTTONS] | report[XUSB_REPORT_BUTTONS + 1] << 8);
    // Face and shoulder buttons first, then the d-pad, as a pad is read.
    static const int kOrder[] = {12, 13, 14, 15, 8, 9, 4, 5, 10, 6, 7, 0, 1, 2, 3};
    std::string names;
    for (int bit : kOrder) {
        if (buttons & (1u << bit)) {
            names += names.empty() ? "" : " ";
            names += kButtonBitNames[bit];
        }
    }
    char line[160];
    snprintf(line, sizeof(line), "buttons %s  LT %u  RT %u  LS (%d, %d)  RS (%d, %d)",
             names.empty() ? "-" : names.c_str(), report[XUSB_REPORT_LEFT_TRIGGER],
             report[XUSB_REPORT_RIGHT_TRIGGER], Signed(report + XUSB_REPORT_LEFT_X),
             Signed(report + XUSB_REPORT_LEFT_Y), Signed(report + XUSB_REPORT_RIGHT_X),
             Signed(report + XUSB_REPORT_RIGHT_Y));
    return line;
}

const char* XboxButtonName(uint8_t index) {
    static const char* const kNames[XUSB_BUTTON_INDEX_COUNT] = {
        "A",    "B",     "X",          "Y",           "LEFT_SHOULDER", "RIGHT_SHOULDER",
        "BACK", "START", "LEFT_THUMB", "RIGHT_THUMB", "GUIDE",         "none"};
    return index < XUSB_BUTTON_INDEX_COUNT ? kNames[index] : "none (past the table)";
}

std::string DescribeMapping(const REMAP_RECORD& record) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
    std::string out;
    for (ULONG offset = 0; offset < sizeof(REMAP_RECORD); ++offset) {
        PCWSTR name = nullptr;
        if (!NT_SUCCESS(RemapValueName(offset, &name))) {
            continue; // RestoreDefaults is no stored value
        }
        const char* meaning = "";
        if (offset < QUILLEX_CANONICAL_BUTTON_COUNT) {
            meaning = XboxButtonName(bytes[offset]);
        } else if (offset < FIELD_OFFSET(REMAP_RECORD, RestoreDefaults)) {
            meaning = bytes[offset] != 0 ? "on" : "off";
        }
        char line[96];
        snprintf(line, sizeof(line), "  %-20s = 0x%02x%s%s\n", sim::Utf16ToUtf8(name).c_str(),
                 bytes[offset], *meaning ? "  " : "", meaning);
        out += line;
    }
    return out;
}

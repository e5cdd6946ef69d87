#include "tools/quillex-sim/gamepad_view.h"

#include <stdio.h>

#include "mapping/remap_store.h"
#include "mapping/xusb_report.h"
#include "sim/core/utf.h"

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

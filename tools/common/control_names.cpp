#include "tools/common/control_names.h"

#include <stdio.h>
#include <ctype.h>
#include <strings.h>

#include <algorithm>

#include "sim/peers/stick/raw_reports.h"

const std::vector<DataItem>& DataItems() {
    static const std::vector<DataItem> items = [] {
        std::vector<DataItem> v;
        // Ids 1 to 13 are the canonical buttons, in their bit order.
        for (uint32_t i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
            v.push_back({sim::stick::kButtonNames[i], QUILLEX_ITEM_BTN_A + i, 1});
        }
        v.push_back({"RIGHT_STICK_Y", QUILLEX_ITEM_RIGHT_STICK_Y, 255});
        v.push_back({"RIGHT_STICK_X", QUILLEX_ITEM_RIGHT_STICK_X, 255});
        v.push_back({"LEFT_STICK_X", QUILLEX_ITEM_LEFT_STICK_X, 255});
        v.push_back({"LEFT_STICK_Y", QUILLEX_ITEM_LEFT_STICK_Y, 255});
        v.push_back({"DPAD", QUILLEX_ITEM_DPAD, QUILLEX_DPAD_MAX});
        v.push_back({"FIRST_TRIGGER", QUILLEX_ITEM_FIRST_TRIGGER, 255});
        v.push_back({"SECOND_TRIGGER", QUILLEX_ITEM_SECOND_TRIGGER, 255});
        v.push_back({"LED", QUILLEX_ITEM_LED, QUILLEX_LED_MAX});
        // The arcade settings (the driver also checks TURBO_RATE's minimum of
        // 2), and the read-only interface version.
        v.push_back({"DPAD_MODE", QUILLEX_ITEM_DPAD_MODE, QUILLEX_DPAD_MODE_MAX});
        v.push_back({"TURBO_MASK", QUILLEX_ITEM_TURBO_MASK, QUILLEX_TURBO_MASK_ALL});
        v.push_back({"TURBO_RATE", QUILLEX_ITEM_TURBO_RATE, QUILLEX_TURBO_RATE_MAX});
        v.push_back({"HOTKEYS", QUILLEX_ITEM_HOTKEYS, QUILLEX_HOTKEYS_ON});
        v.push_back({"INTERFACE_VERSION", QUILLEX_ITEM_INTERFACE_VERSION, 0});
        return v;
    }();
    return items;
}

bool FindDataItem(const std::string& text, const DataItem** item, std::string* error) {
    for (const DataItem& candidate : DataItems()) {
        if (strcasecmp(text.c_str(), candidate.name) == 0 || text == std::to_string(candidate.id)) {
            *item = &candidate;
            return true;
        }
    }
    std::vector<std::string> names;
    for (const DataItem& candidate : DataItems()) {
        names.push_back(candidate.name);
    }
    std::string guess = ClosestName(text, names);
    *error = "no item '" + text + "'" + (guess.empty() ? "" : " (did you mean " + guess + "?)") +
             "; items are 1 to " + std::to_string(DataItems().back().id) + " or their names:";
    for (const DataItem& candidate : DataItems()) {
        *error += std::string(" ") + candidate.name;
    }
    return false;
}

const char* XboxButtonName(uint8_t index) {
    static const char* const kNames[kXboxButtonCount] = {"A",
                                                         "B",
                                                         "X",
                                                         "Y",
                                                         "LEFT_SHOULDER",
                                                         "RIGHT_SHOULDER",
                                                         "BACK",
                                                         "START",
                                                         "LEFT_STICK_PRESS",
                                                         "RIGHT_STICK_PRESS",
                                                         "GUIDE",
                                                         "NONE",
                                                         "LT",
                                                         "RT"};
    return index < kXboxButtonCount ? kNames[index] : "(nothing)";
}

std::string StatusText(uint32_t status) {
    struct Known {
        uint32_t status;
        const char* name;
    };
    static const Known kKnown[] = {
        {0x00000000, "STATUS_SUCCESS"},
        {0xC0000001, "STATUS_UNSUCCESSFUL"},
        {0xC000000D, "STATUS_INVALID_PARAMETER"},
        {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
        {0xC0000022, "STATUS_ACCESS_DENIED"},
        {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
        {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
        {0xC00000A3, "STATUS_DEVICE_NOT_READY"},
        {0xC00000BB, "STATUS_NOT_SUPPORTED"},
        {0xC00002B6, "STATUS_DEVICE_REMOVED"},
    };
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%08X", status);
    for (const Known& k : kKnown) {
        if (k.status == status) {
            return std::string(k.name) + " (" + hex + ")";
        }
    }
    return std::string("status ") + hex;
}

std::string ClosestName(const std::string& text, const std::vector<std::string>& names) {
    // Edit distance, case aside; a third of the word may differ, at least one letter.
    auto distance = [](const std::string& a, const std::string& b) {
        std::vector<size_t> row(b.size() + 1);
        for (size_t j = 0; j <= b.size(); ++j) {
            row[j] = j;
        }
        for (size_t i = 1; i <= a.size(); ++i) {
            size_t diagonal = row[0];
            row[0] = i;
            for (size_t j = 1; j <= b.size(); ++j) {
                size_t above = row[j];
                bool same = toupper(static_cast<unsigned char>(a[i - 1])) ==
                            toupper(static_cast<unsigned char>(b[j - 1]));
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
                diagonal = above;
            }
        }
        return row[b.size()];
    };
    std::string best;
    size_t bestDistance = std::max<size_t>(1, text.size() / 3) + 1;
    for (const std::string& name : names) {
        size_t d = distance(text, name);
        if (d < bestDistance) {
            best = name;
            bestDistance = d;
        }
    }
    return best;
}

// The names of the control interface that both tools show and take: the data
// items of the state block, and the completion statuses of the control codes.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/quillexctl/public_header.h"

struct DataItem {
    const char* name; // as the player types it (any case)
    uint32_t id;
    uint32_t max; // valid values are 0..max
};
const std::vector<DataItem>& DataItems();
// By name or by id; false with *error listing the names.
bool FindDataItem(const std::string& text, const DataItem** item, std::string* error);

// Targets of ButtonMap entries, as both tools name them: 0 A .. 10 GUIDE,
// 11 NONE, 12 LT and 13 RT (the triggers, pulled fully while the button is
// held).
inline constexpr uint8_t kXboxButtonCount = 14;
const char* XboxButtonName(uint8_t index); // "(nothing)" past the table

// "STATUS_INVALID_PARAMETER (0xC000000D)" and the like.
std::string StatusText(uint32_t status);

// The name among 'names' closest to 'text' (case aside), when it is close
// enough to be a slip of the fingers: "" otherwise. For "did you mean".
std::string ClosestName(const std::string& text, const std::vector<std::string>& names);

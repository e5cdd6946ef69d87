// The names of the mapping both tools show and take: its stored values, the
// arcade settings kept beside them, the Xbox buttons a button value takes,
// and the numbers they take, each checked against its valid range.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/common/control_names.h"
#include "tools/quillexctl/public_header.h"

// Decimal or 0x-prefixed hex, within 0..max; false with *error giving the range.
bool ParseNumber(const std::string& what, const std::string& text, uint64_t max, uint64_t* value,
                 std::string* error);

enum class MappingKind { Button, Flag, ControlPoint };
struct MappingValue {
    const char* name; // the registry value's name
    size_t offset;    // in REMAP_RECORD
    MappingKind kind;
};
// The 28 stored values, in record order (RestoreDefaults is never stored).
const std::vector<MappingValue>& MappingValues();
const MappingValue* FindMappingValue(const std::string& name);
// The value name 'name' was probably meant to be, or "".
std::string GuessMappingValue(const std::string& name);
// Checks a value for one field: an Xbox button by name or index, a flag 0 or
// 1, a control point 0..255.
bool ParseMappingValue(const MappingValue& field, const std::string& text, uint8_t* value,
                       std::string* error);
// The valid range of a field, in words.
std::string MappingRange(const MappingValue& field);

// The arcade settings stored beside the mapping's values under the same key,
// each a REG_DWORD, read and set through its data item.
struct ArcadeSettingName {
    const char* name; // the registry value's name
    uint32_t id;      // its data item, QUILLEX_ITEM_*
    uint32_t min, max;
};
const std::vector<ArcadeSettingName>& ArcadeSettingNames();
const ArcadeSettingName* FindArcadeSetting(const std::string& name);
// The range of a setting, in words.
std::string ArcadeSettingRange(const ArcadeSettingName& setting);

// DPAD_MODE's values as a player types them: dpad, left, right ("?" past them).
const char* LeverModeName(uint32_t mode);
// The canonical buttons of a TURBO_MASK, by their registry names.
std::vector<std::string> TurboButtonNames(uint32_t mask);
// A canonical button by its registry name, with or without "BTN_".
bool ParseCanonicalButton(const std::string& text, uint32_t* bit);

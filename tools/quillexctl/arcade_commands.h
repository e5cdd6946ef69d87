// quillexctl's commands for the arcade settings beside the mapping: the
// lever's mode, turbo and the mode combination.
#pragma once

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/quillexctl/commands.h"

struct ArcadeSettings {
    bool present = false; // false: a driver without them (interface version 1)
    uint32_t dpadMode = 0;
    uint32_t turboMask = 0;
    uint32_t turboRate = 0;
    uint32_t hotkeys = 0;
    uint32_t version = 1;
};

// Reads them; a driver that does not know the version item has none (not an
// error). False with *rc set when the link or the driver failed otherwise.
bool ReadArcadeSettings(DeviceLink* link, ArcadeSettings* settings, int* rc);
// One setting's value by its data item id (0 for an id that is no setting).
uint32_t ArcadeSettingValue(const ArcadeSettings& settings, uint32_t item);
// Sets one setting through its data item: 0, or the exit code once the
// refusal is told on stderr under 'what'.
int PutArcadeSetting(const CommandContext& c, const char* what, uint32_t item, uint32_t value);
// For a person, a few lines; and as JSON.
void PrintArcadeSettings(const ArcadeSettings& settings);
nlohmann::json ArcadeSettingsJson(const ArcadeSettings& settings);

int ShowArcadeSettings(const CommandContext& c);
// dpad, left or right.
int SetDpadMode(const CommandContext& c, const std::string& mode);
// The turbo buttons become exactly these (none with "off"), and the rate
// changes when one is given (0: unchanged).
int SetTurbo(const CommandContext& c, const std::vector<std::string>& buttons,
             const std::string& rate);
// on or off.
int SetHotkeys(const CommandContext& c, const std::string& onOff);

// quillexctl's commands: each talks to the driver through a device link,
// prints for a person (or JSON with --json) and returns the exit code: 0 done,
// 1 refused by the driver or the link failed, 2 bad input from the player.
#pragma once

#include <string>
#include <vector>

#include "tools/quillexctl/device_link.h"

struct CommandContext {
    DeviceLink* link = nullptr;
    bool json = false;
};

int ShowState(const CommandContext& c);
int GetItem(const CommandContext& c, const std::string& item);
int SetItem(const CommandContext& c, const std::string& item, const std::string& value);
int ShowMapping(const CommandContext& c);
int SetMapping(const CommandContext& c, const std::vector<std::string>& assignments);
int RestoreDefaultMapping(const CommandContext& c);
int ExportMapping(const CommandContext& c, const std::string& path);
// Refuses a file with value names the driver does not read unless
// 'ignoreUnknown'; each is named with its line either way.
int ImportMapping(const CommandContext& c, const std::string& path, bool ignoreUnknown);
int PlotCurves(const CommandContext& c, const std::string& svgPath);

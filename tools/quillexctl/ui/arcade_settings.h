// The arcade settings a driver of interface version 2 keeps beside the
// mapping (d-pad mode, turbo, the mode combination), read and set as data
// items. A driver without them refuses the ids, and the page then shows the
// mapping alone.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "tools/common/mapping_names.h"
#include "tools/quillexctl/public_header.h"
#include "tools/quillexctl/ui/stick_pool.h"

// The settings, their names, items and ranges: the two tools' shared table
// (ArcadeSettingNames, FindArcadeSetting).
using ArcadeSetting = ArcadeSettingName;

// The stick's settings by name; false when the driver does not have them
// (or the stick did not answer).
bool ReadArcadeSettings(StickPool& pool, unsigned stick, std::map<std::string, uint32_t>* values);

// Sets one; the result of the SET_VALUE request.
LinkResult WriteArcadeSetting(StickPool& pool, unsigned stick, const ArcadeSetting& setting,
                              uint32_t value);

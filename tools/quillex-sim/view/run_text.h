// The words and numbers of quillex-sim's lines for a person: bytes in hex,
// the legend that explains the lines, and the text of one played step (its
// lines put together with Format, then said at once).
#pragma once

#include <stdint.h>

#include <string>

#include "platform/device_context.h"
#include "tools/common/text_format.h"
#include "tools/quillex-sim/session/session_player.h"

// "0A 1B 2C".
std::string Hex(const uint8_t* bytes, size_t count);
// How to read a run's lines; printed once at its top.
extern const char* const kLegend;
// The player a LED state lights, in words.
std::string LedMeaning(unsigned state);
const char* PipeType(USBD_PIPE_TYPE type);
// The lines of a played step: what was sent or asked, the decoded state, the
// Xbox report and what the game read.
std::string StepText(const StepResult& r, const REMAP_RECORD& mapping, bool together);

// What the mapping options do to the first stick a run plugs, in every mode:
// --save-mapping writes its mapping into the registry, as the companion
// application's set-mapping does, and --print-mapping explains the mapping
// as stored. Every stick's mapping goes into its object of the document.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/device_context.h"
#include "tools/quillex-sim/command_line.h"

// The lines to say for the stick; 'first' applies the options.
std::string ApplyMappingOptions(PDEVICE_CONTEXT ctx, const Options& options, bool first,
                                nlohmann::ordered_json& stickJson);

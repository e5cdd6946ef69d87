// Session scripts: the stick's input, step by step, as a person writes it,
// and mapping changes at given times. The format is described at the top of
// sessions/layout-a.session and in the README.
#pragma once

#include <stdint.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "sim/peers/stick/raw_reports.h"

struct SessionStep {
    enum Kind { kStick, kSetMapping } kind = kStick;
    std::chrono::microseconds at{0}; // from the start of the session
    int line = 0;
    std::string what;             // the label, or the line as written
    sim::stick::StickState state; // kStick
    std::vector<uint8_t> raw;     // kStick: the report as recorded, sent as is when not empty
    std::string valueName;        // kSetMapping: a mapping value's registry name
    unsigned recordOffset = 0;    // kSetMapping: its byte in the mapping record
    uint8_t value = 0;            // kSetMapping
};

struct ScriptError {
    int line = 0;
    int column = 0; // 1-based, of the token at fault
    std::string message;
};

// Parses a whole script; on the first error, false and *error says where.
bool ParseSessionScript(std::string_view text, std::vector<SessionStep>* steps, ScriptError* error);
// Reads and parses a file; *error is "FILE:LINE:COLUMN: message" or the
// system's reason the file could not be read.
bool LoadSessionScript(const std::string& path, std::vector<SessionStep>* steps,
                       std::string* error);
// The mapping record byte a registry value name ("BTN_A") stands for.
bool MappingValueOffset(std::string_view name, unsigned* offset);
// The built-in session of a stick model (sessions/layout-a.session, -b).
std::string_view BuiltinSessionScript(sim::stick::Layout layout);

// Session scripts: the stick's input, step by step, as a person writes it,
// and the companion application's requests at given times. The format is
// described at the top of builtin/layout-a.session and in the README.
#pragma once

#include <stdint.h>

#include <array>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "sim/peers/stick/raw_reports.h"
#include "tools/quillex-sim/session/app_request.h"

// What a stick line says: the buttons and hat it holds (everything else is
// released and centred), the axes it names (the others keep their value)
// and whether it puts everything back at rest first.
struct StickInput {
    static constexpr int kAxisCount = 6; // lx ly rx ry lt rt
    uint32_t buttons = 0;
    uint8_t hat = 8;
    bool rest = false;
    std::array<int, kAxisCount> axes{-1, -1, -1, -1, -1, -1}; // -1: not named
};

struct SessionStep {
    enum Kind { kStick, kRequest } kind = kStick;
    std::chrono::microseconds at{0}; // from the start of the session
    int line = 0;
    int stick = 0;                // 0: every stick; else the stick of that number (1 ...)
    int stickColumn = 0;          // where the line named it, for errors found later
    std::string what;             // the label, or the line as written
    StickInput input;             // kStick
    sim::stick::StickState state; // kStick: the stick's whole state once the line is played
    std::vector<uint8_t> raw;     // kStick: the report as recorded, sent as is when not empty
    AppRequest request;           // kRequest
};

// Parses a whole script; on the first error, false and *error says where.
// Each stick step's 'state' follows the lines for every stick (a script
// played on one stick); StepsForStick gives one stick's own.
bool ParseSessionScript(std::string_view text, std::vector<SessionStep>* steps, ScriptError* error);
// Reads and parses a file; *error is "FILE:LINE:COLUMN: message" or the
// system's reason the file could not be read.
bool LoadSessionScript(const std::string& path, std::vector<SessionStep>* steps,
                       std::string* error);
// The steps stick 'number' plays: the lines for every stick and its own,
// each stick step with the state it leaves that stick in.
std::vector<SessionStep> StepsForStick(const std::vector<SessionStep>& steps, int number);
// The built-in session of a stick model (builtin/layout-a.session, -b).
std::string_view BuiltinSessionScript(sim::stick::Layout layout);
// The built-in sessions of the arcade settings by name (triggers,
// lever-modes, turbo); empty for any other name.
std::string_view BuiltinNamedSession(std::string_view name);

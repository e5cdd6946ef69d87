// What a run will do, settled before anything starts: the sticks it plugs
// and what each plays (the built-in session, a script, or a recording's
// input to check against).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/peers/stick/raw_reports.h"
#include "tools/quillex-sim/command_line.h"
#include "tools/quillex-sim/session/recording.h"
#include "tools/quillex-sim/session/session_script.h"

// A stick the run will plug, and what it plays.
struct PlannedStick {
    int number = 1; // in the order the run plugs them
    sim::stick::Layout layout = sim::stick::Layout::A;
    std::vector<SessionStep> steps;
    const std::vector<nlohmann::ordered_json>* expected = nullptr; // --expect: its recorded steps
};

struct RunPlan {
    // Plugged together (--sticks N, or a recording made so) or one at a time.
    bool together = false;
    std::vector<PlannedStick> sticks;
    Recording expected; // --expect: the recording the sticks' steps come from
};

// Reads the script or recording the options name and settles the sticks;
// false with *error (naming the file and line) when one cannot be played.
bool BuildPlan(const Options& options, RunPlan* plan, std::string* error);

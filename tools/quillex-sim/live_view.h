// --live: what a game sees from the emulated controller, updated in place in
// the terminal (ncurses), beside the stick's own state; with --keyboard the
// player plays the stick from the keyboard. q quits.
#pragma once

#include <string>
#include <vector>

#include "tools/quillex-sim/session_player.h"

struct LiveViewOptions {
    bool keyboard = false; // the keyboard plays the stick; else the session plays
    std::string title;     // the stick, as the view names it
};

// Plays the session's steps at their times (and, with the keyboard, the
// player's input) on one stick, showing each result, until q is pressed.
// Every step also goes to 'sink'. False when the driver failed a step.
bool RunLiveView(const LiveViewOptions& options, const std::vector<SessionStep>& steps,
                 sim::stick::Layout layout, PDEVICE_CONTEXT ctx, LivePipeline& reader,
                 sim::xbox::Controller& controller, const StepSink& sink, std::string* error);

// --live: what a game sees from each emulated controller, updated in place
// in the terminal (ncurses), beside the stick's own state; several sticks
// are listed one a line above the one shown in full, and Tab or a stick's
// number picks that one. With --keyboard the player plays the picked stick
// from the keyboard. q quits.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/quillex-sim/session/session_player.h"

struct LiveViewOptions {
    bool keyboard = false; // the keyboard plays the picked stick; else the sessions play
    std::function<bool()> stopRequested; // ends the view as q does; may be empty
};

struct LiveStick {
    StickPlayer* player;
    std::string title; // the stick, as the view names it
};

// Plays the sticks' steps at their times (and, with the keyboard, the
// player's input) showing each result, until q is pressed. Every step also
// goes to 'sink'. False when the driver failed a step.
bool RunLiveView(const LiveViewOptions& options, const std::vector<LiveStick>& sticks,
                 const StepSink& sink, std::string* error);

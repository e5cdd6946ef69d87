// quillex-sim's command line: its options and how they are read.
#pragma once

#include <string>
#include <vector>

#include "sim/peers/stick/raw_reports.h"

#include "tools/quillex-sim/usbip_mode.h"

// The most sticks one run plugs. Each stick brings a reader thread, a stick
// and a class driver thread of its own, and sixteen playing at a thousand
// reports a second keep about half of one core busy; the live view lists
// sixteen on one screen. Past four, a controller gets no player light.
constexpr int kMaxSticks = 16;

struct Options {
    std::string layout = "both";
    int sticks = 0;           // --sticks N: N sticks plugged together; 0: one per model, in turn
    std::string registryFile; // empty: a registry that lives for this run only
    bool printMapping = false;
    bool saveMapping = false;
    UsbipOptions usbip;
    std::string pcapFile;   // empty: no capture
    std::string scriptFile; // empty: each model's built-in session
    std::string session;    // --session NAME: a named built-in session instead
    std::string recordFile; // empty: no recording
    std::string expectFile; // empty: no recording check
    bool json = false;      // the whole run as one JSON document on stdout
    bool live = false;      // the ncurses live view
    bool keyboard = false;  // the keyboard plays the stick (with live)

    // quillex-sim --serve: empty plays the session and stops.
    std::string serveSocket;
};

// The models of the sticks a run plugs, in order: without --sticks one per
// model --layout names; with it N sticks, all of the model --layout names,
// or for "both" A and B in turn (stick 1 A, stick 2 B, stick 3 A ...).
std::vector<sim::stick::Layout> StickModels(const std::string& layout, int sticks);

// Reads the command line into *options. Returns -1 when the run goes on;
// otherwise the exit code: 0 after --help or --version (printed on stdout),
// 2 after a usage error (printed on stderr, naming the option, with a hint).
int ParseCommandLine(int argc, char** argv, Options* options);

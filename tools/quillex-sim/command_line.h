// quillex-sim's command line: its options and how they are read.
#pragma once

#include <string>
#include <vector>

#include "sim/peers/stick/raw_reports.h"

#include "tools/quillex-sim/usbip/usbip_mode.h"

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
    double speed = 1;       // --speed: times the scripted pace; 0 for max
    int traceLevel = -1;    // --trace: the driver's traces shown; -1 as QUILLEX_TRACE_LEVEL says

    // quillex-sim --serve: empty plays the session and stops.
    std::string serveSocket;
};

// The models of the sticks a run plugs, in order: without --sticks one per
// model --layout names; with it N sticks, all of the model --layout names,
// or for "both" A and B in turn (stick 1 A, stick 2 B, stick 3 A ...).
std::vector<sim::stick::Layout> StickModels(const std::string& layout, int sticks);

// quillex-sim's exit codes, as --help lists them.
constexpr int kRunGoesOn = -1; // ParseCommandLine: the command line is good
constexpr int kExitFailed = 1; // the run failed, or differed from --expect's recording
constexpr int kExitUsage = 2;  // the command line was refused; nothing ran

// Reads the command line into *options. Returns kRunGoesOn when the run goes
// on; otherwise the exit code: 0 after --help or --version (printed on
// stdout), kExitUsage after a usage error (printed on stderr, naming the
// option and why, with a hint). An option a mode cannot honour is refused
// here, before anything runs.
int ParseCommandLine(int argc, char** argv, Options* options);

// The exit code of a run that 'signal' (0 for none) stopped: --serve and
// --usbip end that way, so a clean stop is 0; a session cut short is
// 128 + the signal, as a shell reports it, once everything is closed. A
// failure keeps its code.
int ExitCodeAfterStop(int exitCode, int signal, const Options& options);

// Sets how the driver's traces show on stderr: each marked as the driver's,
// at --trace's level, and without --trace a repeated one held back.
void ShowDriverTraces(const Options& options);

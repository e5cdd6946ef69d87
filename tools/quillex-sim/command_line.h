// quillex-sim's command line: its options and how they are read.
#pragma once

#include <string>

#include "tools/quillex-sim/usbip_mode.h"

struct Options {
    std::string layout = "both";
    std::string registryFile; // empty: a registry that lives for this run only
    bool printMapping = false;
    bool saveMapping = false;
    UsbipOptions usbip;
    std::string pcapFile;   // empty: no capture
    std::string scriptFile; // empty: each model's built-in session
    std::string recordFile; // empty: no recording
    std::string expectFile; // empty: no recording check
    bool json = false;      // the whole run as one JSON document on stdout
    bool live = false;      // the ncurses live view
    bool keyboard = false;  // the keyboard plays the stick (with live)

    // quillex-sim --serve: empty plays the session and stops.
    std::string serveSocket;
};

// Reads the command line into *options. Returns -1 when the run goes on;
// otherwise the exit code: 0 after --help or --version (printed on stdout),
// 2 after a usage error (printed on stderr, naming the option, with a hint).
int ParseCommandLine(int argc, char** argv, Options* options);

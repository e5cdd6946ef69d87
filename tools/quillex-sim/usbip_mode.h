// quillex-sim --usbip: keeps the simulated machine running and exports each
// stick's emulated controller over USB/IP, so that a real USB host (Linux's
// vhci-hcd with `usbip attach`) enumerates it and its own Xbox 360 driver
// binds to it.
#pragma once

#include <string>

namespace CLI {
class App;
class Option;
} // namespace CLI

struct UsbipOptions {
    bool enabled = false;                  // --usbip was given
    std::string listen = "127.0.0.1:3240"; // [ADDR:]PORT
    bool anyAddress = false;               // allow an address other machines reach
    std::string layout = "both";           // which sticks to plug: a, b or both
    int sticks = 0;                        // --sticks N; 0: one per model
    double seconds = 0;                    // how long to serve; 0 until interrupted
};

// Registers --usbip, --usbip-any and --usbip-seconds; returns --usbip, whose
// count says whether the export was asked for.
CLI::Option* AddUsbipOptions(CLI::App* app, UsbipOptions* options);

// Runs the export; the process's exit code.
int RunUsbipExport(const UsbipOptions& options);

// quillex-sim --usbip: keeps the simulated machine running and exports each
// stick's emulated controller over USB/IP, so that a real USB host (Linux's
// vhci-hcd with `usbip attach`) enumerates it and its own Xbox 360 driver
// binds to it.
#pragma once

#include <string>

struct UsbipOptions {
    std::string listen = "127.0.0.1:3240"; // [ADDR:]PORT
    bool anyAddress = false;               // allow an address other machines reach
    std::string layout = "both";           // which sticks to plug: a, b or both
    double seconds = 0;                    // how long to serve; 0 until interrupted
};

// Runs the export; the process's exit code.
int RunUsbipExport(const UsbipOptions& options);

// quillex-sim --usbip: keeps the simulated machine running and exports each
// stick's emulated controller over USB/IP, so that a real USB host (Linux's
// vhci-hcd with `usbip attach`) enumerates it and its own Xbox 360 driver
// binds to it.
#pragma once

#include <string>

#include "sim/pnp/stack.h"
#include "tools/quillex-sim/run/run_report.h"

struct Options;

namespace CLI {
class App;
class Option;
} // namespace CLI

struct UsbipOptions {
    bool enabled = false;                  // --usbip was given
    std::string listen = "127.0.0.1:3240"; // [ADDR:]PORT
    bool anyAddress = false;               // allow an address other machines reach
    double seconds = 0;                    // how long to serve; 0 until interrupted
};

// Registers --usbip, --usbip-any and --usbip-seconds; returns --usbip, whose
// count says whether the export was asked for.
CLI::Option* AddUsbipOptions(CLI::App* app, UsbipOptions* options);

// Whether --usbip's address may be listened on: false with the reason.
bool CheckUsbipEndpoint(const UsbipOptions& options, std::string* error);

// Plugs the sticks on the machine (its emulated controllers bound to the
// export's host side) and exports them until SIGINT, SIGTERM or
// --usbip-seconds; the sticks are unplugged before it returns. The exit code.
int RunUsbipExport(sim::pnp::Stack& stack, const Options& options, RunReport& report);

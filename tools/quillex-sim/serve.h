// quillex-sim --serve SOCKET: keeps the simulated machine running with its
// sticks plugged and their emulated controllers read by the class driver,
// and carries each request of quillexctl (or any client of the protocol in
// serve_protocol.h) to the machine's I/O manager as a CreateFile or a
// DeviceIoControl of the companion application. Several clients at once.
#pragma once

#include "sim/pnp/stack.h"
#include "tools/quillex-sim/command_line.h"

// Runs until SIGINT or SIGTERM; the sticks are unplugged before it returns.
// The exit code of quillex-sim.
int Serve(sim::pnp::Stack& stack, const Options& options);

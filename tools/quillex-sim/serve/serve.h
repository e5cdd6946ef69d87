// quillex-sim --serve SOCKET: keeps the simulated machine running with its
// sticks plugged and their emulated controllers read by the class driver,
// and carries each request of quillexctl (or any client of the protocol in
// serve_protocol.h) to the machine's I/O manager as a CreateFile or a
// DeviceIoControl of the companion application. Several clients at once.
#pragma once

#include <string>

#include "sim/pnp/stack.h"
#include "tools/quillex-sim/command_line.h"
#include "tools/quillex-sim/run/run_outputs.h"
#include "tools/quillex-sim/run/run_report.h"

// Binds a listening socket at 'path', refusing to take the place of anything
// that is not a socket, or of a socket a server still answers on. The
// descriptor, or -1 with *error.
int ListenOnSocket(const std::string& path, std::string* error);

// Serves on the run's listening socket until SIGINT or SIGTERM; the sticks
// are unplugged before it returns. Every request the driver carries out is
// followed by a save of a changed registry to the --registry file. The exit
// code of quillex-sim.
int Serve(sim::pnp::Stack& stack, const Options& options, RunOutputs& outputs, RunReport& report);

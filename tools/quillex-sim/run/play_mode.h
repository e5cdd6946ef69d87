// The run quillex-sim makes without --serve or --usbip: plugs the planned
// sticks (one at a time, or together), brings up each emulated controller,
// plays the sessions (printed, or in the live view), records or checks each
// step, and unplugs the sticks again.
#pragma once

#include "sim/pnp/stack.h"
#include "tools/quillex-sim/command_line.h"
#include "tools/quillex-sim/run/run_outputs.h"
#include "tools/quillex-sim/run/run_plan.h"
#include "tools/quillex-sim/run/run_report.h"

// The exit code of the run: 0, or 1 when a step failed or differed from the
// recording. A stop by signal ends the sessions between two steps; the
// sticks are unplugged all the same.
int PlayMode(sim::pnp::Stack& stack, const RunPlan& plan, const Options& options,
             RunOutputs& outputs, RunReport& report);

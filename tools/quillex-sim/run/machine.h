// The simulated machine a run uses: the Quillex service and the driver
// above the sticks' emulated controllers (the Xbox 360 class driver, or the
// USB/IP export's host side), loaded, then the run's mode, then unloaded.
#pragma once

#include "tools/quillex-sim/command_line.h"
#include "tools/quillex-sim/run/run_outputs.h"
#include "tools/quillex-sim/run/run_plan.h"
#include "tools/quillex-sim/run/run_report.h"

// Plays the plan, serves, or exports, as the options say; the exit code.
int RunMachine(const Options& options, const RunPlan& plan, RunOutputs& outputs, RunReport& report);

// quillex-sim: runs Quillex in the simulated Windows and shows what a game sees.
//
// It installs the Quillex service and the Xbox 360 class driver in the
// simulated machine, lets the PnP manager load the driver, plugs simulated
// arcade sticks and shows the device the driver made over each (instance
// number, product id, interface, mapping). Opening the device starts the
// driver's reader thread, which creates the emulated controller: the PnP
// manager enumerates the child and loads the class driver on it, which
// configures it, keeps endpoint 1 transfers waiting and lights its player's
// LED. The sessions are then played: the stick's reports go through the
// driver's reader, decoders and report composition, the application's
// requests through the device interface, and each composed report is shown
// as the gamepad state the class driver read from it. Finally the sticks are
// unplugged again. --serve keeps the machine for quillexctl instead, and
// --usbip exports the emulated controllers to a real USB host.
//
// Every run goes the same way: the command line is read, the plan settled,
// the outputs opened, the machine run and the outputs closed. A signal ends
// the run between two of its steps, so this path is also the one it takes.
#include <string>

#include "tools/quillex-sim/command_line.h"
#include "tools/quillex-sim/run/machine.h"
#include "tools/quillex-sim/run/run_outputs.h"
#include "tools/quillex-sim/run/run_plan.h"
#include "tools/quillex-sim/run/run_report.h"
#include "tools/quillex-sim/run/stop_signal.h"

int main(int argc, char** argv) {
    Options options;
    int exitCode = ParseCommandLine(argc, argv, &options);
    if (exitCode != kRunGoesOn) {
        return exitCode; // --help, --version or a refused command line: nothing ran
    }
    stop_signal::Install();
    ShowDriverTraces(options);
    RunReport report(options.json);
    RunPlan plan;
    RunOutputs outputs(report);
    std::string error;
    if (!BuildPlan(options, &plan, &error) || !outputs.Open(options, &error)) {
        report.Error("%s", error.c_str());
        exitCode = kExitFailed;
    } else {
        exitCode = RunMachine(options, plan, outputs, report);
    }
    if (!outputs.Close()) {
        exitCode = kExitFailed;
    }
    exitCode = ExitCodeAfterStop(exitCode, stop_signal::Signal(), options);
    report.Finish(exitCode);
    return exitCode;
}

#include "tools/quillex-sim/run/machine.h"

#include "driver/device_add.h"
#include "sim/core/trace_sink.h"
#include "sim/peers/usbip/host_device.h"
#include "sim/peers/xbox/class_driver.h"
#include "sim/pnp/stack.h"
#include "sim/registry/registry.h"
#include "sim/wdf/object.h"
#include "tools/quillex-sim/run/play_mode.h"
#include "tools/quillex-sim/serve/serve.h"
#include "tools/quillex-sim/usbip/usbip_mode.h"
#include "tools/quillex-sim/view/run_text.h"

namespace {

int RunMode(sim::pnp::Stack& stack, const Options& options, const RunPlan& plan,
            RunOutputs& outputs, RunReport& report) {
    if (options.usbip.enabled) {
        return RunUsbipExport(stack, options, report);
    }
    if (!options.serveSocket.empty()) {
        return Serve(stack, options, outputs, report);
    }
    report.Say("%s", kLegend);
    return PlayMode(stack, plan, options, outputs, report);
}

// The driver's messages the console held back as repeats, counted.
void SayHeldBackTraces(RunReport& report) {
    for (const auto& held : sim::trace::ConsoleHeldBack()) {
        std::string first = held.first;
        while (!first.empty() && first.back() == '\n') {
            first.pop_back();
        }
        report.Say("== driver trace repeated %zu more times (--trace LEVEL shows every one): %s\n",
                   held.second, first.c_str());
        report.Document()["driver"]["traces_held_back"].push_back(
            {{"first", first}, {"more", held.second}});
    }
}

} // namespace

int RunMachine(const Options& options, const RunPlan& plan, RunOutputs& outputs,
               RunReport& report) {
    int rc = 0;
    {
        sim::pnp::Stack stack(DriverEntry);
        if (options.usbip.enabled) {
            // The export's host side binds on each emulated controller in
            // place of the Xbox 360 class driver: the remote host's driver
            // is the class driver.
            stack.Install(sim::usbip::Package());
        } else {
            // The Xbox 360 controller class driver, as its INF installs it.
            sim::xbox::Options classDriver;
            if (outputs.Capture() != nullptr) {
                classDriver.urbObserver = outputs.Capture()->Observer();
            }
            stack.Install(sim::xbox::Package(classDriver));
        }
        // Installing the INF creates the service key and its Parameters key;
        // the mapping's Remap key below it is the driver's to create.
        if (!sim::registry::CreateKey(stack.RegistryPath() + "\\Parameters")) {
            report.Error("could not create the service key");
            return 1;
        }
        NTSTATUS status = stack.Load();
        report.Say("== driver loaded from %s: %08x\n", stack.RegistryPath().c_str(),
                   static_cast<unsigned>(status));
        report.Document()["driver"]["service_key"] = stack.RegistryPath();
        report.Document()["driver"]["load_status"] = status;
        if (!NT_SUCCESS(status)) {
            report.Error("the driver did not load: %08x", static_cast<unsigned>(status));
            return 1;
        }
        rc = RunMode(stack, options, plan, outputs, report);
        status = stack.Unload();
        report.Say("== driver unloaded: %08x, %zu framework objects left\n",
                   static_cast<unsigned>(status), sim::wdf::LiveObjectCount());
        report.Document()["driver"]["unload_status"] = status;
        report.Document()["driver"]["framework_objects_left"] = sim::wdf::LiveObjectCount();
        rc |= NT_SUCCESS(status) ? 0 : 1;
    }
    SayHeldBackTraces(report);
    if (options.usbip.enabled) {
        sim::usbip::Forget();
    }
    return rc;
}

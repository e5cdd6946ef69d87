#include "tools/quillex-sim/usbip/usbip_mode.h"

#include <CLI/CLI.hpp>
#include <string.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "driver/device_add.h"
#include "sim/kernel/thread_state.h"
#include "sim/peers/stick/raw_reports.h"
#include "sim/peers/usbip/host_device.h"
#include "sim/peers/stick/plug.h"
#include "sim/pnp/stack.h"
#include "sim/registry/registry.h"
#include "sim/wdf/object.h"
#include "tools/quillex-sim/command_line.h"
#include "tools/quillex-sim/run/stick_mapping.h"
#include "tools/quillex-sim/run/stop_signal.h"
#include "tools/quillex-sim/session/live_pipeline.h"
#include "tools/quillex-sim/usbip/usbip_server.h"
#include "xusb/xusb_pdo.h"

namespace {

// How long each step of the demo session is held while exported.
constexpr std::chrono::milliseconds kStepTime{500};

// One plugged stick: its device, and the thread that plays its reader.
struct Exported {
    sim::pnp::Stack::DeviceId id = 0;
    sim::stick::Layout layout = sim::stick::Layout::A;
    std::string hardwareId;
    std::thread reader;
    std::atomic<bool> created{false};
    std::atomic<bool> failed{false};
};

// Plays the stick: starts the driver's reader (which creates the emulated
// controller), then sends the stick's demo session over and over while a
// host has the controller imported; the reader delivers each report.
void StickLoop(sim::pnp::Stack* stack, PDEVICE_CONTEXT ctx, Exported* stick,
               const std::atomic<bool>* stop) {
    sim::kernel::SetCurrentThreadName("session");
    LivePipeline pipeline(*stack, stick->id, ctx);
    if (!NT_SUCCESS(pipeline.Start())) {
        stick->failed = true;
        return;
    }
    std::shared_ptr<sim::usbip::HostDevice> device;
    if (QuillexChildOf(ctx) != nullptr) {
        device = sim::usbip::WaitForDevice(WdfDeviceWdmGetDeviceObject(QuillexChildOf(ctx)));
    }
    stick->created = true;
    std::vector<sim::stick::ScriptedReport> script = sim::stick::DemoScript();
    const auto started = std::chrono::steady_clock::now();
    for (size_t step = 0; !*stop; step = (step + 1) % script.size()) {
        // Between hosts nobody polls the controller.
        if (device != nullptr && device->Attached()) {
            bool changed = false;
            pipeline.Feed(sim::stick::Encode(stick->layout, script[step].state), &changed);
        }
        for (auto waited = std::chrono::milliseconds(0); waited < kStepTime && !*stop;
             waited += std::chrono::milliseconds(10)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            // The reader's clock keeps up with the host's, for turbo.
            pipeline.AdvanceTo(std::chrono::steady_clock::now() - started);
        }
    }
}

bool Describe(const sim::usbip::HostDevice& device, RunReport& report) {
    std::vector<uint8_t> d = device.DeviceDescriptor();
    if (d.size() < 18) {
        return false;
    }
    report.Say("   exported as bus id 1-%u: USB %04X:%04X, class %02X/%02X/%02X, %s speed, "
               "%zu-byte configuration\n",
               device.Port(), d[8] | d[9] << 8, d[10] | d[11] << 8, d[4], d[5], d[6],
               device.HighSpeed() ? "high" : "full", device.Configuration().size());
    return true;
}

} // namespace

CLI::Option* AddUsbipOptions(CLI::App* app, UsbipOptions* options) {
    CLI::Option* usbip = app->add_option("--usbip", options->listen,
                                         "export the emulated controllers over USB/IP (bus ids\n"
                                         "1-1, 1-2 ...) until interrupted; 127.0.0.1:3240 when\n"
                                         "given alone")
                             ->type_name("[[ADDR:]PORT]")
                             ->expected(0, 1)
                             ->default_str("127.0.0.1:3240");
    app->add_flag("--usbip-any", options->anyAddress,
                  "let --usbip listen on an address other machines reach")
        ->needs(usbip);
    app->add_option("--usbip-seconds", options->seconds, "stop the export after N seconds")
        ->type_name("N")
        ->check(CLI::Validator(
            [](std::string& value) {
                char* end = nullptr;
                double seconds = strtod(value.c_str(), &end);
                return end != value.c_str() && *end == '\0' && seconds > 0
                           ? std::string()
                           : "'" + value + "' is not a number of seconds above 0";
            },
            "", ""))
        ->needs(usbip);
    return usbip;
}

bool CheckUsbipEndpoint(const UsbipOptions& options, std::string* error) {
    usbip_server::Endpoint endpoint;
    if (!usbip_server::ParseEndpoint(options.listen, &endpoint, error)) {
        *error = "--usbip " + options.listen + ": " + *error;
        return false;
    }
    if (!options.anyAddress && !usbip_server::IsLoopback(endpoint.address)) {
        *error = "--usbip " + options.listen + ": " + endpoint.address +
                 " can be reached from other machines; the export listens on a loopback "
                 "address (127.0.0.1, ::1) unless --usbip-any is given";
        return false;
    }
    return true;
}

int RunUsbipExport(sim::pnp::Stack& stack, const Options& all, RunReport& report) {
    const UsbipOptions& options = all.usbip;
    usbip_server::Endpoint endpoint;
    std::string error;
    if (!CheckUsbipEndpoint(options, &error) ||
        !usbip_server::ParseEndpoint(options.listen, &endpoint, &error)) {
        report.Error("%s", error.c_str());
        return 2;
    }

    int rc = 0;
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<Exported>> sticks;
    NTSTATUS status;
    for (sim::stick::Layout layout : StickModels(all.layout, all.sticks)) {
        auto stick = std::make_unique<Exported>();
        stick->layout = layout;
        sim::pnp::DeviceDescription description =
            sim::stick::ArcadeStick(sim::stick::ModelOf(layout).productId);
        stick->hardwareId = description.hardwareIds.front();
        status = stack.Plug(std::move(description), &stick->id);
        report.Say("== plugged stick %s: %s\n", stick->hardwareId.c_str(),
                   NT_SUCCESS(status) ? "started" : "failed");
        if (!NT_SUCCESS(status) || stack.FunctionDevice(stick->id) == nullptr) {
            rc = 1;
            break;
        }
        PDEVICE_CONTEXT ctx = QuillexGetDeviceContext(stack.FunctionDevice(stick->id));
        nlohmann::ordered_json stickJson;
        report.SayText(ApplyMappingOptions(ctx, all, sticks.empty(), stickJson));
        Exported* raw = stick.get();
        stick->reader = std::thread(StickLoop, &stack, ctx, raw, &stop);
        sticks.push_back(std::move(stick));
        while (!raw->created && !raw->failed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        stack.WaitIdle();
        std::shared_ptr<sim::usbip::HostDevice> device;
        if (!raw->failed && QuillexChildOf(ctx) != nullptr) {
            device = sim::usbip::WaitForDevice(WdfDeviceWdmGetDeviceObject(QuillexChildOf(ctx)));
        }
        if (device == nullptr || !device->WaitReady() || !Describe(*device, report)) {
            report.Error("the emulated controller of %s could not be exported",
                         raw->hardwareId.c_str());
            rc = 1;
            break;
        }
    }

    usbip_server::Server server(
        [&report](const std::string& line) { report.Error("%s", line.c_str()); });
    if (rc == 0 && !server.Listen(endpoint, &error)) {
        report.Error("%s", error.c_str());
        rc = 1;
    }
    if (rc == 0) {
        bool v6 = endpoint.address.find(':') != std::string::npos;
        report.Say("== USB/IP server on %s%s%s:%u, protocol 1.1.1, %zu device(s)\n", v6 ? "[" : "",
                   endpoint.address.c_str(), v6 ? "]" : "", server.Port(), sticks.size());
        report.Say("   attach from Linux: sudo modprobe vhci-hcd; sudo usbip --tcp-port %u "
                   "attach -r %s -b 1-1\n",
                   server.Port(), endpoint.address.c_str());
        report.Say("   the sticks replay their demo session until quillex-sim is stopped\n");
        auto start = std::chrono::steady_clock::now();
        auto end = options.seconds > 0
                       ? start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(options.seconds))
                       : std::chrono::steady_clock::time_point::max();
        bool timeUp = stop_signal::SleepUntil(end);
        report.Say("== stopping: %s\n", timeUp ? "time is up" : strsignal(stop_signal::Signal()));
    }

    stop = true;
    for (auto& stick : sticks) {
        if (stick->reader.joinable()) {
            stick->reader.join();
        }
    }
    // Unplugging ends each export as a removed device does: what its host
    // had out is answered, then its connection is closed.
    for (auto& stick : sticks) {
        status = stack.Unplug(stick->id);
        stack.WaitRemoved(stick->id);
        report.Say("== unplugged stick %s: %s\n", stick->hardwareId.c_str(),
                   NT_SUCCESS(status) && stack.FunctionDevice(stick->id) == nullptr
                       ? "device removed"
                       : "removal failed");
    }
    server.Stop();
    return rc;
}

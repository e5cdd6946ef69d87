// quillex-sim: runs Quillex in the simulated Windows and shows what a game sees.
//
// It installs the Quillex service and the Xbox 360 class driver in the
// simulated machine, lets the PnP manager load the driver, plugs a simulated
// arcade stick of either model and shows the device the driver made over it
// (instance number, product id, interface, mapping). A thread that plays the
// HID reader thread (not built yet) then creates the emulated controller: the
// PnP manager enumerates the child and loads the class driver on it, which
// configures it, keeps endpoint 1 transfers waiting and sends its LED
// command. The stick's demo session is replayed through the driver's decoders
// and report composition; each composed report is handed to the emulated
// controller and shown as the gamepad state the class driver read from it.
// Finally the stick is unplugged again.
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <thread>

#include "driver/device_add.h"
#include "mapping/remap_store.h"
#include "sim/core/utf.h"
#include "sim/kernel/thread_state.h"
#include "sim/peers/xbox/class_driver.h"
#include "sim/peers/stick/raw_reports.h"
#include "sim/pnp/stack.h"
#include "sim/registry/reg_file.h"
#include "sim/registry/registry.h"
#include "sim/wdf/object.h"
#include "tools/quillex-sim/command_line.h"
#include "tools/quillex-sim/serve.h"
#include "tools/quillex-sim/gamepad_view.h"
#include "tools/quillex-sim/led_state_view.h"
#include "tools/quillex-sim/live_view.h"
#include "tools/quillex-sim/mapping_report.h"
#include "tools/quillex-sim/live_pipeline.h"
#include "tools/quillex-sim/run_report.h"
#include "tools/quillex-sim/recording.h"
#include "tools/quillex-sim/session_player.h"
#include "tools/quillex-sim/session_script.h"
#include "tools/quillex-sim/usb_capture.h"
#include "tools/quillex-sim/usbip_mode.h"
#include "xusb/xusb_pdo.h"

namespace {

using nlohmann::ordered_json;

template <class... Args> void Say(const char* format, Args... args) {
    RunReport::Get().Say(format, args...);
}
// Text with no arguments goes through "%s", so that no format is built from
// data (clang refuses a non-literal format without arguments).
void Say(const char* text) {
    RunReport::Get().Say("%s", text);
}

const char* const kLegend =
    "   How to read what follows:\n"
    "   - raw [...] is a report as the stick sent it; \"buttons held\" are the canonical\n"
    "     buttons the driver decoded from it, each with the Xbox button the mapping gives\n"
    "     it; sticks and triggers are 0..255 (sticks centred at 128), the hat 0..7 from\n"
    "     up clockwise, 8 centred.\n"
    "   - xbox [...] is the 20-byte report the driver composed: \"(endpoint 1)\" means it\n"
    "     went to the class driver on the interrupt-in endpoint, \"(not sent again)\" that\n"
    "     nothing changed, so nothing was sent.\n"
    "   - game is what a game reads: the gamepad state the class driver decoded (sticks\n"
    "     -32768..32767, triggers 0..255).\n"
    "   - vendor and product are the ids in the emulated controller's device\n"
    "     descriptor; USBDI 0x500 is the version of the USB driver interface the class\n"
    "     driver was told (Windows 7's); a pipe handle is the number the class driver\n"
    "     names an endpoint by.\n"
    "   - LED state 2, 3, 4, 5 is the light of player 1, 2, 3, 4 the class driver set;\n"
    "     any other value means no player light.\n";

// The player a LED state lights, in words.
std::string LedMeaning(unsigned state) {
    return state >= 2 && state <= 5 ? "player " + std::to_string(state - 1) : "no player light";
}

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < count; ++i) {
        snprintf(b, sizeof(b), "%02X ", bytes[i]);
        out += b;
    }
    if (!out.empty()) {
        out.pop_back();
    }
    return out;
}

// Waits until 'done' holds, or five seconds have gone.
template <class Predicate> bool WaitBriefly(Predicate done) {
    for (int i = 0; i < 5000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

const char* PipeType(USBD_PIPE_TYPE type) {
    switch (type) {
    case UsbdPipeTypeControl:
        return "control";
    case UsbdPipeTypeIsochronous:
        return "isochronous";
    case UsbdPipeTypeBulk:
        return "bulk";
    default:
        return "interrupt";
    }
}

// Starts the driver's reader, which creates the emulated controller, and
// waits for the class driver to configure it; shows what the PnP manager and
// the class driver made of it.
std::shared_ptr<sim::xbox::Controller> BringUpController(sim::pnp::Stack& stack,
                                                         sim::pnp::Stack::DeviceId id,
                                                         PDEVICE_CONTEXT ctx,
                                                         LivePipeline& reader) {
    NTSTATUS status = reader.Start();
    if (!NT_SUCCESS(status) || QuillexChildOf(ctx) == nullptr) {
        fprintf(stderr, "quillex-sim: the driver's reader did not start reading: %08x\n",
                static_cast<unsigned>(status));
        return nullptr;
    }
    Say("   reader thread started by an open; its 5 s start-up wait passed on the simulated "
        "clock\n");
    PDEVICE_OBJECT pdo = WdfDeviceWdmGetDeviceObject(QuillexChildOf(ctx));
    for (const sim::pnp::ChildDevice& child : stack.Children(id)) {
        if (child.pdo == pdo) {
            Say("   emulated controller %s: \"%s\" at \"%s\", driver %s\n",
                child.instanceId.c_str(), child.description.c_str(), child.location.c_str(),
                child.service.empty() ? "(none)" : child.service.c_str());
            RunReport::Get().Stick()["controller"] = {{"instance_id", child.instanceId},
                                                      {"description", child.description},
                                                      {"location", child.location},
                                                      {"driver", child.service}};
        }
    }
    std::shared_ptr<sim::xbox::Controller> controller = sim::xbox::WaitForController(pdo);
    status = controller != nullptr ? controller->WaitConfigured() : STATUS_NO_SUCH_DEVICE;
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "quillex-sim: the class driver could not configure the controller: %08x\n",
                static_cast<unsigned>(status));
        return nullptr;
    }
    std::vector<uint8_t> device = controller->DeviceDescriptor();
    if (device.size() < 12) {
        fprintf(stderr, "quillex-sim: the class driver read a device descriptor of %zu bytes\n",
                device.size());
        return nullptr;
    }
    unsigned vendor = device[8] | device[9] << 8, product = device[10] | device[11] << 8;
    Say("   class driver: \"%s\", vendor %04X product %04X, USBDI 0x%X\n",
        controller->Product().c_str(), vendor, product, controller->UsbdVersion().USBDI_Version);
    ordered_json& json = RunReport::Get().Stick()["controller"];
    json["product_string"] = controller->Product();
    json["vendor"] = vendor;
    json["product"] = product;
    json["usbdi_version"] = controller->UsbdVersion().USBDI_Version;
    json["pipes"] = ordered_json::array();
    for (const sim::xbox::Controller::Pipe& pipe : controller->Pipes()) {
        Say("   endpoint %02X %s %s, %u bytes, interval %u, pipe handle 0x%X\n",
            pipe.endpointAddress, PipeType(pipe.type), (pipe.endpointAddress & 0x80) ? "in" : "out",
            pipe.maximumPacketSize, pipe.interval, pipe.handle);
        json["pipes"].push_back({{"endpoint", pipe.endpointAddress},
                                 {"type", PipeType(pipe.type)},
                                 {"max_packet", pipe.maximumPacketSize},
                                 {"interval", pipe.interval},
                                 {"handle", pipe.handle}});
    }
    // The LED state is recorded by a work item of the child, just after the
    // class driver's command came in.
    int command = sim::xbox::Options().startLed;
    WaitBriefly([&] { return CurrentLedState(ctx) != 0; });
    UCHAR led = CurrentLedState(ctx);
    Say("   LED: the class driver sent 01 03 %02X, LED state %u (%s)\n", command, led,
        LedMeaning(led).c_str());
    json["led_command"] = command;
    json["led_state"] = led;
    return controller;
}

// What a run does with each step besides printing it.
struct StepOutputs {
    Recorder* recorder = nullptr;        // --record
    const Recording* expected = nullptr; // --expect
    std::string expectPath;
    size_t matched = 0;
    size_t delivered = 0; // reports the session sent on endpoint 1, all sticks
};

// "BTN_A (A) BTN_PWR (GUIDE)": each held button with the Xbox button the
// mapping gives it.
std::string HeldButtons(uint32_t buttons, const REMAP_RECORD& mapping) {
    std::string out;
    for (unsigned i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        if (buttons & (1u << i)) {
            out += std::string(out.empty() ? "" : " ") + sim::stick::kButtonNames[i] + " (" +
                   XboxButtonName(mapping.ButtonMap[i]) + ")";
        }
    }
    return out.empty() ? "none" : out;
}

void PrintStep(const StepResult& r, const REMAP_RECORD& mapping) {
    const SessionStep& step = *r.step;
    char at[32];
    snprintf(at, sizeof(at), "@%lldms",
             static_cast<long long>(
                 std::chrono::duration_cast<std::chrono::milliseconds>(step.at).count()));
    if (step.kind == SessionStep::kSetMapping) {
        Say("#%02d %-7s set %s=%u: %s\n", r.index, at, step.valueName.c_str(), step.value,
            NT_SUCCESS(r.mappingStatus) ? "the mapping changed and was saved"
                                        : "the mapping change failed");
        return;
    }
    Say("#%02d %-7s %-22s raw [%s]\n", r.index, at, step.what.c_str(),
        Hex(r.raw.data(), r.raw.size()).c_str());
    Say("    %-9s buttons held: %s\n", r.changed ? "changed" : "unchanged",
        HeldButtons(r.buttons, mapping).c_str());
    const ULONG* a = r.analog.data();
    Say("    left stick (%u, %u)  right stick (%u, %u)  hat %u  left trigger %u  right "
        "trigger %u\n",
        a[ANALOG_LEFT_STICK_X], a[ANALOG_LEFT_STICK_Y], a[ANALOG_RIGHT_STICK_X],
        a[ANALOG_RIGHT_STICK_Y], a[ANALOG_HAT], a[ANALOG_LEFT_TRIGGER], a[ANALOG_RIGHT_TRIGGER]);
    Say("    xbox [%s]  (%s)\n", Hex(r.xbox.data(), r.xbox.size()).c_str(), r.delivery.c_str());
    Say("    game %s\n", sim::xbox::Describe(r.gamepad).c_str());
}

// Writes the step to the recording, or checks it against the expected one.
bool RecordOrCheck(const StepResult& r, sim::stick::Layout layout, StepOutputs& outputs) {
    if (RunReport::Get().Json()) {
        RunReport::Get().Stick()["steps"].push_back(StepToJson(r, layout));
    }
    if (r.delivery == "endpoint 1") {
        ++outputs.delivered;
    }
    if (outputs.recorder == nullptr && outputs.expected == nullptr) {
        return true;
    }
    nlohmann::ordered_json step = StepToJson(r, layout);
    if (outputs.recorder != nullptr) {
        outputs.recorder->Write(step);
    }
    if (outputs.expected != nullptr) {
        const std::vector<nlohmann::ordered_json>& expected = outputs.expected->expected.at(layout);
        std::string diff;
        if (static_cast<size_t>(r.index) >= expected.size()) {
            diff = "step " + std::to_string(r.index) + ": not in the recording";
        } else if (!CompareStep(expected[r.index], step, &diff)) {
            // diff says where
        } else {
            ++outputs.matched;
            return true;
        }
        fprintf(stderr, "quillex-sim: the run differs from %s at %s\n", outputs.expectPath.c_str(),
                diff.c_str());
        return false;
    }
    return true;
}

// Brings up the driver's reader and its emulated controller, then plays the
// session through them.
int ReaderSession(sim::pnp::Stack& stack, sim::pnp::Stack::DeviceId id, PDEVICE_CONTEXT ctx,
                  sim::stick::Layout layout, const std::vector<SessionStep>& steps,
                  const Options& options, StepOutputs& outputs,
                  std::shared_ptr<sim::xbox::Controller>* controllerOut) {
    LivePipeline reader(stack, id, ctx);
    std::shared_ptr<sim::xbox::Controller> controller = BringUpController(stack, id, ctx, reader);
    if (controller == nullptr) {
        return 1;
    }
    *controllerOut = controller;
    std::string error;
    if (options.live) {
        LiveViewOptions live;
        live.keyboard = options.keyboard;
        live.title = std::string("stick ") +
                     (layout == sim::stick::Layout::A ? "PID_0402 (raw layout A)"
                                                      : "PID_0403 (raw layout B)") +
                     ", device #" + std::to_string(ctx->InstanceNumber);
        if (!RunLiveView(
                live, steps, layout, ctx, reader, *controller,
                [&](const StepResult& r) { return RecordOrCheck(r, layout, outputs); }, &error)) {
            fprintf(stderr, "quillex-sim: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (!PlaySession(
            steps, layout, ctx, reader, *controller,
            [&](const StepResult& r) {
                PrintStep(r, ctx->RemapRecord);
                return RecordOrCheck(r, layout, outputs);
            },
            &error)) {
        fprintf(stderr, "quillex-sim: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

int RunStick(sim::pnp::Stack& stack, sim::stick::Layout layout, bool firstDevice,
             const Options& options, const std::vector<SessionStep>& steps, StepOutputs& outputs) {
    uint16_t productId = layout == sim::stick::Layout::A ? sim::stick::kLayoutAProductId
                                                         : sim::stick::kLayoutBProductId;
    sim::pnp::StickDescription stick = sim::pnp::ArcadeStick(productId);
    std::string hardwareId = stick.hardwareIds.front();
    sim::pnp::Stack::DeviceId id = 0;
    NTSTATUS status = stack.Plug(std::move(stick), &id);
    RunReport::Get().NewStick();
    ordered_json& json = RunReport::Get().Stick();
    json["model"] = layout == sim::stick::Layout::A ? "A" : "B";
    json["hardware_id"] = hardwareId;
    json["plug_status"] = status;
    Say("== plugged stick %s on %s: %s\n", hardwareId.c_str(),
        id != 0 ? stack.PdoName(id).c_str() : "?", NT_SUCCESS(status) ? "started" : "failed");
    if (!NT_SUCCESS(status) || stack.FunctionDevice(id) == nullptr) {
        fprintf(stderr, "quillex-sim: plugging the stick failed: %08x\n",
                static_cast<unsigned>(status));
        return 1;
    }
    PDEVICE_CONTEXT ctx = QuillexGetDeviceContext(stack.FunctionDevice(id));
    Say("   device #%u, product id 0x%X (raw layout %c), physical device object %s\n",
        ctx->InstanceNumber, ctx->ProductId,
        ctx->ProductId == QUILLEX_LAYOUT_A_PRODUCT_ID ? 'A' : 'B',
        sim::Utf16ToUtf8(ctx->PdoName).c_str());
    json["device_number"] = ctx->InstanceNumber;
    json["product_id"] = ctx->ProductId;
    json["physical_device_object"] = sim::Utf16ToUtf8(ctx->PdoName);
    json["interfaces"] = stack.Interfaces(id);
    json["mapping_key"] = sim::Utf16ToUtf8(ctx->RegistryPath);
    for (const std::string& path : stack.Interfaces(id)) {
        Say("   interface %s\n", path.c_str());
    }
    Say("   mapping key %s\n", sim::Utf16ToUtf8(ctx->RegistryPath).c_str());
    if (firstDevice && options.saveMapping) {
        status = TorvaXboxMappingSaveRemap(ctx);
        Say("   mapping saved: %s\n", NT_SUCCESS(status) ? "ok" : "failed");
        json["mapping_saved"] = NT_SUCCESS(status);
    }
    json["mapping"] = ordered_json::object();
    for (ULONG offset = 0; offset < sizeof(REMAP_RECORD); ++offset) {
        PCWSTR name = nullptr;
        if (NT_SUCCESS(RemapValueName(offset, &name))) {
            json["mapping"][sim::Utf16ToUtf8(name)] =
                reinterpret_cast<const UCHAR*>(&ctx->RemapRecord)[offset];
        }
    }
    if (firstDevice && options.printMapping) {
        Say("%s",
            DescribeStoredMapping(sim::Utf16ToUtf8(ctx->RegistryPath), ctx->RemapRecord).c_str());
    }

    int rc = 0;
    size_t deliveredBefore = outputs.delivered;
    std::shared_ptr<sim::xbox::Controller> controller;
    std::thread session([&] {
        sim::kernel::SetCurrentThreadName("session");
        rc = ReaderSession(stack, id, ctx, layout, steps, options, outputs, &controller);
    });
    session.join();

    status = stack.Unplug(id);
    stack.WaitRemoved(id);
    Say("== unplugged stick %s: %s\n", hardwareId.c_str(),
        NT_SUCCESS(status) && stack.FunctionDevice(id) == nullptr ? "device removed"
                                                                  : "removal failed");
    json["removed"] = NT_SUCCESS(status) && stack.FunctionDevice(id) == nullptr;
    if (controller != nullptr) {
        size_t reports = 0, cancelled = 0;
        for (const sim::xbox::Controller::Completion& c : controller->Completions()) {
            reports += c.isReport ? 1 : 0;
            cancelled += c.status == STATUS_CANCELLED ? 1 : 0;
        }
        // Counted as the step lines count: what the session sent on endpoint 1,
        // and apart from it the reports that answered a transfer at once.
        size_t session = outputs.delivered - deliveredBefore;
        size_t atOnce = reports > session ? reports - session : 0;
        Say("   class driver: %zu reports read: %zu sent on endpoint 1 by the steps above, %zu "
            "the controller's current state answering a transfer at once; %zu waiting "
            "transfers cancelled at removal\n",
            reports, session, atOnce, cancelled);
        json["class_driver"] = {{"reports_read", reports},
                                {"sent_by_steps", session},
                                {"answered_at_once", atOnce},
                                {"cancelled_at_removal", cancelled}};
    }
    sim::xbox::Forget();
    return rc;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    int exitCode = ParseCommandLine(argc, argv, &options);
    if (exitCode >= 0) {
        return exitCode;
    }
    if (options.usbip.enabled) {
        options.usbip.layout = options.layout;
        return RunUsbipExport(options.usbip);
    }

    RunReport& report = RunReport::Get();
    report.SetJson(options.json);

    // The registry file is checked before anything runs: a run whose result
    // could not be kept is not started.
    std::string error;
    std::unique_ptr<sim::registry::RegFile> registryFile;
    if (!options.registryFile.empty()) {
        registryFile = std::make_unique<sim::registry::RegFile>(options.registryFile);
        if (!registryFile->CheckWritable(&error) || !registryFile->Load(&error)) {
            fprintf(stderr, "quillex-sim: %s\n", error.c_str());
            return 1;
        }
    } else if (options.saveMapping) {
        report.Document()["registry_file"] = {{"file", nullptr}, {"persists", false}};
        Say("== no --registry FILE.reg: the saved mapping lives in this run's registry only, "
            "nothing persists\n");
    }

    // The sessions to play, per model: the script given, or the model's own.
    std::vector<SessionStep> sessions[2];
    for (sim::stick::Layout layout : {sim::stick::Layout::A, sim::stick::Layout::B}) {
        std::vector<SessionStep>& steps = sessions[layout == sim::stick::Layout::A ? 0 : 1];
        ScriptError where;
        if (!options.scriptFile.empty()) {
            if (!LoadSessionScript(options.scriptFile, &steps, &error)) {
                fprintf(stderr, "quillex-sim: %s\n", error.c_str());
                return 1;
            }
        } else if (!ParseSessionScript(BuiltinSessionScript(layout), &steps, &where)) {
            fprintf(stderr, "quillex-sim: the built-in session, line %d: %s\n", where.line,
                    where.message.c_str());
            return 1;
        }
    }

    // A recording check replays the recording's input, on the models it has.
    Recording expected;
    StepOutputs outputs;
    if (!options.expectFile.empty()) {
        if (!LoadRecording(options.expectFile, &expected, &error)) {
            fprintf(stderr, "quillex-sim: --expect: %s\n", error.c_str());
            return 1;
        }
        bool a = expected.sessions.count(sim::stick::Layout::A) != 0;
        bool b = expected.sessions.count(sim::stick::Layout::B) != 0;
        options.layout = a && b ? "both" : a ? "a" : "b";
        if (a) {
            sessions[0] = expected.sessions[sim::stick::Layout::A];
        }
        if (b) {
            sessions[1] = expected.sessions[sim::stick::Layout::B];
        }
        outputs.expected = &expected;
        outputs.expectPath = options.expectFile;
    }
    Recorder recorder;
    if (!options.recordFile.empty()) {
        if (!recorder.Open(options.recordFile, &error)) {
            fprintf(stderr, "quillex-sim: --record: %s\n", error.c_str());
            return 1;
        }
        outputs.recorder = &recorder;
    }

    // Played from the keyboard, a session starts at rest and goes where the
    // keys take it.
    if (options.keyboard) {
        for (std::vector<SessionStep>& steps : sessions) {
            steps.assign(1, SessionStep());
            steps[0].what = "at rest";
        }
    }

    UsbCapture capture;
    if (!options.pcapFile.empty() && !capture.Open(options.pcapFile, &error)) {
        fprintf(stderr, "quillex-sim: --pcap: %s\n", error.c_str());
        return 1;
    }

    int rc = 0;
    {
        sim::pnp::Stack stack(DriverEntry);
        // The Xbox 360 controller class driver, as its INF installs it.
        sim::xbox::Options classDriver;
        if (!options.pcapFile.empty()) {
            classDriver.urbObserver = capture.Observer();
        }
        stack.Install(sim::xbox::Package(classDriver));
        // Installing the INF creates the service key and its Parameters key; the
        // mapping's Remap key below it is the driver's to create.
        if (!sim::registry::CreateKey(stack.RegistryPath() + "\\Parameters")) {
            fprintf(stderr, "quillex-sim: could not create the service key\n");
            return 1;
        }
        NTSTATUS status = stack.Load();
        Say("== driver loaded from %s: %08x\n", stack.RegistryPath().c_str(),
            static_cast<unsigned>(status));
        report.Document()["driver"]["service_key"] = stack.RegistryPath();
        report.Document()["driver"]["load_status"] = status;
        if (!NT_SUCCESS(status)) {
            report.Finish();
            return 1;
        }
        Say("%s", kLegend);
        bool first = true;
        if (!options.serveSocket.empty()) {
            rc |= Serve(stack, options);
        } else {
            if (options.layout == "a" || options.layout == "both") {
                rc |= RunStick(stack, sim::stick::Layout::A, first, options, sessions[0], outputs);
                first = false;
            }
            if (options.layout == "b" || options.layout == "both") {
                rc |= RunStick(stack, sim::stick::Layout::B, first, options, sessions[1], outputs);
            }
        }
        status = stack.Unload();
        Say("== driver unloaded: %08x, %zu framework objects left\n", static_cast<unsigned>(status),
            sim::wdf::LiveObjectCount());
        report.Document()["driver"]["unload_status"] = status;
        report.Document()["driver"]["framework_objects_left"] = sim::wdf::LiveObjectCount();
        rc |= NT_SUCCESS(status) ? 0 : 1;
    }

    if (!options.recordFile.empty()) {
        if (!recorder.Close(&error)) {
            fprintf(stderr, "quillex-sim: --record: %s\n", error.c_str());
            return 1;
        }
        Say("== recorded to %s\n", options.recordFile.c_str());
        report.Document()["recorded_to"] = options.recordFile;
    }
    if (!options.expectFile.empty()) {
        if (rc == 0) {
            Say("== recording check: all %zu steps match %s\n", outputs.matched,
                options.expectFile.c_str());
        }
        report.Document()["recording_check"] = {
            {"file", options.expectFile}, {"matched_steps", outputs.matched}, {"passed", rc == 0}};
    }
    if (!options.pcapFile.empty()) {
        size_t packets = capture.Packets();
        if (!capture.Close(&error)) {
            fprintf(stderr, "quillex-sim: --pcap: %s\n", error.c_str());
            return 1;
        }
        Say("== USB capture: %zu packets written to %s\n", packets, options.pcapFile.c_str());
        report.Document()["capture"] = {{"file", options.pcapFile}, {"packets", packets}};
    }
    if (registryFile != nullptr) {
        bool written = false;
        if (!registryFile->Save(&written, &error)) {
            fprintf(stderr, "quillex-sim: %s\n", error.c_str());
            return 1;
        }
        Say(written ? "== registry written to %s\n" : "== registry unchanged: %s left as it was\n",
            options.registryFile.c_str());
        report.Document()["registry_file"] = {{"file", options.registryFile}, {"written", written}};
    }
    report.Document()["exit_code"] = rc;
    report.Finish();
    return rc;
}

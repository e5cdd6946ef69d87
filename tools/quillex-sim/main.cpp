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
// unplugged again: one stick of each model in turn, or with --sticks N all
// of them plugged and played together.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <thread>

#include "driver/device_add.h"
#include "mapping/arcade_store.h"
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

// printf into a string: a step's lines are put together, then said at once.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char small[256];
    int length = vsnprintf(small, sizeof(small), format, args);
    va_end(args);
    if (length < 0) {
        return std::string();
    }
    if (static_cast<size_t>(length) < sizeof(small)) {
        return std::string(small, static_cast<size_t>(length));
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    va_start(args, format);
    vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.resize(static_cast<size_t>(length));
    return text;
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

// The LED state an LED command should leave: the player lights 1 to 4, each
// flashing (0x02..0x05) or steady (0x06..0x09); anything else lights none.
UCHAR ExpectedLedState(int command) {
    return command >= 0x02 && command <= 0x09 ? static_cast<UCHAR>((command - 2) % 4 + 2) : 0;
}

// Starts the driver's reader, which creates the emulated controller, and
// waits for the class driver to configure it; shows what the PnP manager and
// the class driver made of it.
std::shared_ptr<sim::xbox::Controller>
BringUpController(sim::pnp::Stack& stack, sim::pnp::Stack::DeviceId id, PDEVICE_CONTEXT ctx,
                  LivePipeline& reader, const std::string& prefix, ordered_json& stickJson) {
    NTSTATUS status = reader.Start();
    if (!NT_SUCCESS(status) || QuillexChildOf(ctx) == nullptr) {
        fprintf(stderr, "quillex-sim: %sthe driver's reader did not start reading: %08x\n",
                prefix.c_str(), static_cast<unsigned>(status));
        return nullptr;
    }
    std::string out = prefix.empty() ? "" : "== " + prefix + "its reader and emulated controller\n";
    out += "   reader thread started by an open; its 5 s start-up wait passed on the simulated "
           "clock\n";
    PDEVICE_OBJECT pdo = WdfDeviceWdmGetDeviceObject(QuillexChildOf(ctx));
    for (const sim::pnp::ChildDevice& child : stack.Children(id)) {
        if (child.pdo == pdo) {
            out +=
                Format("   emulated controller %s: \"%s\" at \"%s\", driver %s\n",
                       child.instanceId.c_str(), child.description.c_str(), child.location.c_str(),
                       child.service.empty() ? "(none)" : child.service.c_str());
            stickJson["controller"] = {{"instance_id", child.instanceId},
                                       {"description", child.description},
                                       {"location", child.location},
                                       {"driver", child.service}};
        }
    }
    std::shared_ptr<sim::xbox::Controller> controller = sim::xbox::WaitForController(pdo);
    status = controller != nullptr ? controller->WaitConfigured() : STATUS_NO_SUCH_DEVICE;
    if (!NT_SUCCESS(status)) {
        fprintf(stderr,
                "quillex-sim: %sthe class driver could not configure the controller: %08x\n",
                prefix.c_str(), static_cast<unsigned>(status));
        return nullptr;
    }
    std::vector<uint8_t> device = controller->DeviceDescriptor();
    if (device.size() < 12) {
        fprintf(stderr, "quillex-sim: %sthe class driver read a device descriptor of %zu bytes\n",
                prefix.c_str(), device.size());
        return nullptr;
    }
    unsigned vendor = device[8] | device[9] << 8, product = device[10] | device[11] << 8;
    out += Format("   class driver: \"%s\", vendor %04X product %04X, USBDI 0x%X\n",
                  controller->Product().c_str(), vendor, product,
                  controller->UsbdVersion().USBDI_Version);
    ordered_json& json = stickJson["controller"];
    json["product_string"] = controller->Product();
    json["vendor"] = vendor;
    json["product"] = product;
    json["usbdi_version"] = controller->UsbdVersion().USBDI_Version;
    json["pipes"] = ordered_json::array();
    for (const sim::xbox::Controller::Pipe& pipe : controller->Pipes()) {
        out += Format("   endpoint %02X %s %s, %u bytes, interval %u, pipe handle 0x%X\n",
                      pipe.endpointAddress, PipeType(pipe.type),
                      (pipe.endpointAddress & 0x80) ? "in" : "out", pipe.maximumPacketSize,
                      pipe.interval, pipe.handle);
        json["pipes"].push_back({{"endpoint", pipe.endpointAddress},
                                 {"type", PipeType(pipe.type)},
                                 {"max_packet", pipe.maximumPacketSize},
                                 {"interval", pipe.interval},
                                 {"handle", pipe.handle}});
    }
    // The LED state is recorded by a work item of the child, just after the
    // class driver's command came in.
    int command = controller->LedCommand();
    WaitBriefly([&] { return CurrentLedState(ctx) == ExpectedLedState(command); });
    UCHAR led = CurrentLedState(ctx);
    out += Format("   LED: the class driver sent 01 03 %02X, LED state %u (%s)\n", command, led,
                  LedMeaning(led).c_str());
    Say(out.c_str());
    json["led_command"] = command;
    json["led_state"] = led;
    json["player"] = controller->Player();
    return controller;
}

// A stick the run will plug, and what it plays.
struct PlannedStick {
    int number = 1; // in the order the run plugs them
    sim::stick::Layout layout = sim::stick::Layout::A;
    std::vector<SessionStep> steps;
    const std::vector<ordered_json>* expected = nullptr; // --expect: its recorded steps
};

// What a run does with each step besides printing it.
struct StepOutputs {
    bool together = false;        // sticks plugged together: output names each
    Recorder* recorder = nullptr; // --record
    std::string expectPath;       // --expect
    size_t matched = 0;
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

// The report lines of a step: its decoded state, the Xbox report and what
// the game read.
std::string ReportLines(const StepResult& r, const REMAP_RECORD& mapping, const char* changed) {
    const ULONG* a = r.analog.data();
    return Format("    %-9s buttons held: %s\n", changed, HeldButtons(r.buttons, mapping).c_str()) +
           Format("    left stick (%u, %u)  right stick (%u, %u)  hat %u  left trigger %u  right "
                  "trigger %u\n",
                  a[ANALOG_LEFT_STICK_X], a[ANALOG_LEFT_STICK_Y], a[ANALOG_RIGHT_STICK_X],
                  a[ANALOG_RIGHT_STICK_Y], a[ANALOG_HAT], a[ANALOG_LEFT_TRIGGER],
                  a[ANALOG_RIGHT_TRIGGER]) +
           Format("    xbox [%s]  (%s)\n", Hex(r.xbox.data(), r.xbox.size()).c_str(),
                  r.delivery.c_str()) +
           Format("    game %s\n", sim::xbox::Describe(r.gamepad).c_str());
}

void PrintStep(const StepResult& r, const REMAP_RECORD& mapping, bool together) {
    const SessionStep& step = *r.step;
    char at[32];
    snprintf(at, sizeof(at), "@%lldms",
             static_cast<long long>(
                 std::chrono::duration_cast<std::chrono::milliseconds>(step.at).count()));
    std::string head = Format("#%02d ", r.index);
    if (together) {
        head = Format("stick %d ", r.stick) + head;
    }
    if (step.kind == SessionStep::kRequest) {
        const AppRequestResult& answer = r.request;
        // A label names the step; the request is shown as written either way.
        std::string what =
            step.what == step.request.text ? step.what : step.what + ": " + step.request.text;
        std::string out = head + Format("%-7s %s\n", at, what.c_str());
        out += Format("    %s: %s\n", answer.code.c_str(),
                      answer.ok
                          ? ("success, " + std::to_string(answer.returned) + " bytes back").c_str()
                          : FailureText(answer).c_str());
        if (answer.ok) {
            out += "    " + answer.meaning + "\n";
        }
        if (!r.delivery.empty()) {
            out += ReportLines(r, mapping, "pushed");
        }
        Say(out.c_str());
        return;
    }
    std::string out = head + Format("%-7s %-22s raw [%s]\n", at, step.what.c_str(),
                                    Hex(r.raw.data(), r.raw.size()).c_str());
    out += ReportLines(r, mapping, r.changed ? "changed" : "unchanged");
    Say(out.c_str());
}

// A stick as plugged for the run.
struct PluggedStick {
    const PlannedStick* planned = nullptr;
    sim::pnp::Stack::DeviceId id = 0;
    std::string hardwareId;
    PDEVICE_CONTEXT ctx = nullptr;
    size_t json = 0;      // its object in the run's document
    std::string prefix;   // "stick 2: " in messages when plugged together, else ""
    size_t delivered = 0; // reports its steps sent on endpoint 1
    std::shared_ptr<sim::xbox::Controller> controller;
};

// Writes the step to the recording, or checks it against the expected one.
bool RecordOrCheck(const StepResult& r, PluggedStick& stick, StepOutputs& outputs) {
    RunReport& report = RunReport::Get();
    if (r.delivery == "endpoint 1") {
        ++stick.delivered;
    }
    if (!report.Json() && outputs.recorder == nullptr && stick.planned->expected == nullptr) {
        return true;
    }
    nlohmann::ordered_json step = StepToJson(r, outputs.together);
    if (report.Json()) {
        report.Stick(stick.json)["steps"].push_back(step);
    }
    if (outputs.recorder != nullptr) {
        outputs.recorder->Write(step);
    }
    if (stick.planned->expected != nullptr) {
        const std::vector<nlohmann::ordered_json>& expected = *stick.planned->expected;
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

// Plugs a stick and shows the device the driver made over it.
bool PlugStick(sim::pnp::Stack& stack, const PlannedStick& planned, const Options& options,
               bool together, PluggedStick* plugged) {
    uint16_t productId = planned.layout == sim::stick::Layout::A ? sim::stick::kLayoutAProductId
                                                                 : sim::stick::kLayoutBProductId;
    sim::pnp::StickDescription description = sim::pnp::ArcadeStick(productId);
    plugged->planned = &planned;
    plugged->hardwareId = description.hardwareIds.front();
    plugged->prefix = together ? "stick " + std::to_string(planned.number) + ": " : "";
    NTSTATUS status = stack.Plug(std::move(description), &plugged->id);
    RunReport& report = RunReport::Get();
    plugged->json = report.NewStick();
    ordered_json& json = report.Stick(plugged->json);
    if (together) {
        json["stick"] = planned.number;
    }
    json["model"] = planned.layout == sim::stick::Layout::A ? "A" : "B";
    json["hardware_id"] = plugged->hardwareId;
    json["plug_status"] = status;
    std::string name = together ? Format("stick %d ", planned.number) : "stick ";
    std::string out =
        Format("== plugged %s%s on %s: %s\n", name.c_str(), plugged->hardwareId.c_str(),
               plugged->id != 0 ? stack.PdoName(plugged->id).c_str() : "?",
               NT_SUCCESS(status) ? "started" : "failed");
    if (!NT_SUCCESS(status) || stack.FunctionDevice(plugged->id) == nullptr) {
        Say(out.c_str());
        fprintf(stderr, "quillex-sim: %splugging the stick failed: %08x\n", plugged->prefix.c_str(),
                static_cast<unsigned>(status));
        return false;
    }
    PDEVICE_CONTEXT ctx = QuillexGetDeviceContext(stack.FunctionDevice(plugged->id));
    plugged->ctx = ctx;
    out += Format("   device #%u, product id 0x%X (raw layout %c), physical device object %s\n",
                  ctx->InstanceNumber, ctx->ProductId,
                  ctx->ProductId == QUILLEX_LAYOUT_A_PRODUCT_ID ? 'A' : 'B',
                  sim::Utf16ToUtf8(ctx->PdoName).c_str());
    json["device_number"] = ctx->InstanceNumber;
    json["product_id"] = ctx->ProductId;
    json["physical_device_object"] = sim::Utf16ToUtf8(ctx->PdoName);
    json["interfaces"] = stack.Interfaces(plugged->id);
    json["mapping_key"] = sim::Utf16ToUtf8(ctx->RegistryPath);
    for (const std::string& path : stack.Interfaces(plugged->id)) {
        out += Format("   interface %s\n", path.c_str());
    }
    out += Format("   mapping key %s\n", sim::Utf16ToUtf8(ctx->RegistryPath).c_str());
    bool first = planned.number == 1;
    if (first && options.saveMapping) {
        status = TorvaXboxMappingSaveRemap(ctx);
        // The settings beside it too, so the .reg file holds them all.
        if (NT_SUCCESS(status)) {
            status = TorvaXboxMappingSaveArcade(ctx);
        }
        out += Format("   mapping saved: %s\n", NT_SUCCESS(status) ? "ok" : "failed");
        json["mapping_saved"] = NT_SUCCESS(status);
    }
    json["mapping"] = ordered_json::object();
    for (ULONG offset = 0; offset < sizeof(REMAP_RECORD); ++offset) {
        PCWSTR valueName = nullptr;
        if (NT_SUCCESS(RemapValueName(offset, &valueName))) {
            json["mapping"][sim::Utf16ToUtf8(valueName)] =
                reinterpret_cast<const UCHAR*>(&ctx->RemapRecord)[offset];
        }
    }
    {
        KIRQL irql;
        KeAcquireSpinLock(&ctx->StateLock, &irql);
        const ARCADE_STATE arcade = ctx->Arcade;
        KeReleaseSpinLock(&ctx->StateLock, irql);
        json["settings"] = {{"DPAD_MODE", arcade.DpadMode},
                            {"TURBO_MASK", arcade.TurboMask},
                            {"TURBO_RATE", arcade.TurboRate},
                            {"HOTKEYS", arcade.HotkeysEnabled}};
    }
    if (first && options.printMapping) {
        out += DescribeStoredMapping(sim::Utf16ToUtf8(ctx->RegistryPath), ctx->RemapRecord,
                                     ctx->Arcade);
    }
    Say(out.c_str());
    return true;
}

// Unplugs a stick and counts what its class driver received.
bool UnplugStick(sim::pnp::Stack& stack, PluggedStick& stick, bool together) {
    NTSTATUS status = stack.Unplug(stick.id);
    stack.WaitRemoved(stick.id);
    bool removed = NT_SUCCESS(status) && stack.FunctionDevice(stick.id) == nullptr;
    std::string name = together ? Format("stick %d ", stick.planned->number) : "stick ";
    std::string out = Format("== unplugged %s%s: %s\n", name.c_str(), stick.hardwareId.c_str(),
                             removed ? "device removed" : "removal failed");
    ordered_json& json = RunReport::Get().Stick(stick.json);
    json["removed"] = removed;
    if (stick.controller != nullptr) {
        size_t reports = 0, cancelled = 0;
        for (const sim::xbox::Controller::Completion& c : stick.controller->Completions()) {
            reports += c.isReport ? 1 : 0;
            cancelled += c.status == STATUS_CANCELLED ? 1 : 0;
        }
        // Counted as the step lines count: what the session sent on endpoint 1,
        // and apart from it the reports that answered a transfer at once.
        size_t atOnce = reports > stick.delivered ? reports - stick.delivered : 0;
        out += Format("   class driver: %zu reports read: %zu sent on endpoint 1 by the steps "
                      "above, %zu the controller's current state answering a transfer at once; "
                      "%zu waiting transfers cancelled at removal\n",
                      reports, stick.delivered, atOnce, cancelled);
        json["class_driver"] = {{"reports_read", reports},
                                {"sent_by_steps", stick.delivered},
                                {"answered_at_once", atOnce},
                                {"cancelled_at_removal", cancelled}};
    }
    Say(out.c_str());
    return removed;
}

// The title the live view gives a stick.
std::string LiveTitle(const PluggedStick& stick, bool together) {
    return std::string(together ? "stick " + std::to_string(stick.planned->number) + ": " : "") +
           "PID_" +
           (stick.planned->layout == sim::stick::Layout::A ? "0402 (raw layout A)"
                                                           : "0403 (raw layout B)") +
           ", device #" + std::to_string(stick.ctx->InstanceNumber);
}

// Brings up each stick's reader and emulated controller, in order (so the
// class driver numbers the players in that order), then plays the sessions
// through them; the application's handles and the readers' are closed
// before the sticks go.
int PlaySticks(sim::pnp::Stack& stack, std::vector<PluggedStick>& sticks, const Options& options,
               StepOutputs& outputs) {
    std::vector<std::unique_ptr<LivePipeline>> readers;
    std::vector<std::unique_ptr<StickPlayer>> players;
    std::vector<StickPlayer*> playing;
    for (PluggedStick& stick : sticks) {
        readers.push_back(std::make_unique<LivePipeline>(stack, stick.id, stick.ctx));
        stick.controller = BringUpController(stack, stick.id, stick.ctx, *readers.back(),
                                             stick.prefix, RunReport::Get().Stick(stick.json));
        if (stick.controller == nullptr) {
            return 1;
        }
        auto player = std::make_unique<StickPlayer>();
        player->number = stick.planned->number;
        player->layout = stick.planned->layout;
        player->ctx = stick.ctx;
        player->reader = readers.back().get();
        player->controller = stick.controller.get();
        player->interfacePath = stack.Interfaces(stick.id).front();
        player->steps = stick.planned->steps;
        playing.push_back(player.get());
        players.push_back(std::move(player));
    }
    // Results name their stick by number; the sticks are numbered in order.
    auto stickOf = [&](const StepResult& r) -> PluggedStick& {
        for (PluggedStick& stick : sticks) {
            if (stick.planned->number == r.stick) {
                return stick;
            }
        }
        return sticks.front();
    };
    std::string error;
    bool ok;
    if (options.live) {
        std::vector<LiveStick> live;
        for (size_t i = 0; i < sticks.size(); ++i) {
            live.push_back(LiveStick{players[i].get(), LiveTitle(sticks[i], outputs.together)});
        }
        LiveViewOptions view;
        view.keyboard = options.keyboard;
        ok = RunLiveView(
            view, live, [&](const StepResult& r) { return RecordOrCheck(r, stickOf(r), outputs); },
            &error);
    } else {
        ok = PlaySessions(
            playing,
            [&](const StepResult& r) {
                PluggedStick& stick = stickOf(r);
                PrintStep(r, stick.ctx->RemapRecord, outputs.together);
                return RecordOrCheck(r, stick, outputs);
            },
            &error);
    }
    if (!ok) {
        fprintf(stderr, "quillex-sim: %s\n", error.c_str());
    }
    for (std::unique_ptr<StickPlayer>& player : players) {
        player->app.Close();
    }
    return ok ? 0 : 1;
}

// Plugs the sticks, plays them together and unplugs them again.
int RunSticks(sim::pnp::Stack& stack, const std::vector<PlannedStick*>& plan,
              const Options& options, StepOutputs& outputs) {
    std::vector<PluggedStick> sticks;
    sticks.reserve(plan.size());
    int rc = 0;
    for (PlannedStick* planned : plan) {
        sticks.emplace_back();
        if (!PlugStick(stack, *planned, options, outputs.together, &sticks.back())) {
            rc = 1;
            break;
        }
    }
    if (rc == 0) {
        std::thread session([&] {
            sim::kernel::SetCurrentThreadName("session");
            rc = PlaySticks(stack, sticks, options, outputs);
        });
        session.join();
    }
    for (PluggedStick& stick : sticks) {
        if (stick.ctx != nullptr && !UnplugStick(stack, stick, outputs.together)) {
            rc = 1;
        }
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
        options.usbip.sticks = options.sticks;
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

    // The sticks to plug and what each plays: a recording's input, the
    // script given, or each model's own session.
    Recording expected;
    StepOutputs outputs;
    std::vector<PlannedStick> plan;
    bool together = options.sticks != 0;
    if (!options.expectFile.empty()) {
        if (!LoadRecording(options.expectFile, &expected, &error)) {
            fprintf(stderr, "quillex-sim: --expect: %s\n", error.c_str());
            return 1;
        }
        together = expected.together;
        for (const RecordedStick& recorded : expected.sticks) {
            plan.push_back(PlannedStick{static_cast<int>(plan.size()) + 1, recorded.layout,
                                        recorded.session, &recorded.expected});
        }
        outputs.expectPath = options.expectFile;
    } else {
        std::vector<SessionStep> script;
        if (!options.scriptFile.empty() &&
            !LoadSessionScript(options.scriptFile, &script, &error)) {
            fprintf(stderr, "quillex-sim: %s\n", error.c_str());
            return 1;
        }
        std::vector<sim::stick::Layout> models = StickModels(options.layout, options.sticks);
        for (size_t i = 0; i < models.size(); ++i) {
            PlannedStick planned;
            planned.number = static_cast<int>(i) + 1;
            planned.layout = models[i];
            if (options.scriptFile.empty()) {
                ScriptError where;
                std::string_view builtin = options.session.empty()
                                               ? BuiltinSessionScript(planned.layout)
                                               : BuiltinNamedSession(options.session);
                if (!ParseSessionScript(builtin, &script, &where)) {
                    fprintf(stderr, "quillex-sim: the built-in session, line %d: %s\n", where.line,
                            where.message.c_str());
                    return 1;
                }
            }
            planned.steps = StepsForStick(script, planned.number);
            plan.push_back(std::move(planned));
        }
        // A line for a stick the run does not plug is a mistake in the script.
        for (const SessionStep& step : script) {
            if (step.stick > static_cast<int>(plan.size())) {
                fprintf(stderr,
                        "quillex-sim: %s:%d:%d: stick %d is not plugged: this run plugs %zu "
                        "(--sticks N plugs N)\n",
                        options.scriptFile.c_str(), step.line, step.stickColumn, step.stick,
                        plan.size());
                return 1;
            }
        }
    }
    outputs.together = together;
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
        for (PlannedStick& planned : plan) {
            planned.steps.assign(1, SessionStep());
            planned.steps[0].what = "at rest";
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
        if (!options.serveSocket.empty()) {
            rc |= Serve(stack, options);
        } else if (together) {
            std::vector<PlannedStick*> all;
            for (PlannedStick& planned : plan) {
                all.push_back(&planned);
            }
            rc |= RunSticks(stack, all, options, outputs);
        } else {
            for (PlannedStick& planned : plan) {
                rc |= RunSticks(stack, {&planned}, options, outputs);
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

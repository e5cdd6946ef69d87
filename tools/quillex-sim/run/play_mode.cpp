#include "tools/quillex-sim/run/play_mode.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/device_add.h"
#include "sim/core/trace_sink.h"
#include "sim/core/utf.h"
#include "sim/kernel/thread_state.h"
#include "sim/peers/stick/plug.h"
#include "sim/peers/xbox/class_driver.h"
#include "tools/quillex-sim/run/stick_mapping.h"
#include "tools/quillex-sim/run/stop_signal.h"
#include "tools/quillex-sim/session/live_pipeline.h"
#include "tools/quillex-sim/session/session_player.h"
#include "tools/quillex-sim/view/led_state_view.h"
#include "tools/quillex-sim/view/live_view.h"
#include "tools/quillex-sim/view/progress_line.h"
#include "tools/quillex-sim/view/run_text.h"
#include "xusb/xusb_pdo.h"

namespace {

using nlohmann::ordered_json;

// What the run shares between its sticks.
struct PlayRun {
    sim::pnp::Stack& stack;
    const Options& options;
    RunReport& report;
    bool together = false;        // sticks plugged together: output names each
    Recorder* recorder = nullptr; // --record
    size_t matched = 0;           // --expect: steps that matched the recording
};

// Waits until 'done' holds, or five seconds have gone.
template <class Predicate> bool WaitBriefly(Predicate done) {
    for (int i = 0; i < 5000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// The LED state an LED command should leave: the player lights 1 to 4, each
// flashing (0x02..0x05) or steady (0x06..0x09); anything else lights none.
UCHAR ExpectedLedState(int command) {
    return command >= 0x02 && command <= 0x09 ? static_cast<UCHAR>((command - 2) % 4 + 2) : 0;
}
// Starts the driver's reader, which creates the emulated controller, and
// waits for the class driver to configure it; shows what the PnP manager and
// the class driver made of it.
std::shared_ptr<sim::xbox::Controller> BringUpController(PlayRun& run, sim::pnp::Stack::DeviceId id,
                                                         PDEVICE_CONTEXT ctx, LivePipeline& reader,
                                                         const std::string& prefix,
                                                         ordered_json& stickJson) {
    sim::pnp::Stack& stack = run.stack;
    NTSTATUS status = reader.Start();
    if (!NT_SUCCESS(status) || QuillexChildOf(ctx) == nullptr) {
        run.report.Error("%sthe driver's reader did not start reading: %08x", prefix.c_str(),
                         static_cast<unsigned>(status));
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
        run.report.Error("%sthe class driver could not configure the controller: %08x",
                         prefix.c_str(), static_cast<unsigned>(status));
        return nullptr;
    }
    std::vector<uint8_t> device = controller->DeviceDescriptor();
    if (device.size() < 12) {
        run.report.Error("%sthe class driver read a device descriptor of %zu bytes", prefix.c_str(),
                         device.size());
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
    run.report.SayText(out);
    json["led_command"] = command;
    json["led_state"] = led;
    json["player"] = controller->Player();
    return controller;
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
bool RecordOrCheck(const StepResult& r, PluggedStick& stick, PlayRun& run) {
    RunReport& report = run.report;
    if (r.delivery == "endpoint 1") {
        ++stick.delivered;
    }
    if (!report.Json() && run.recorder == nullptr && stick.planned->expected == nullptr) {
        return true;
    }
    nlohmann::ordered_json step = StepToJson(r, run.together);
    if (report.Json()) {
        report.Stick(stick.json)["steps"].push_back(step);
    }
    if (run.recorder != nullptr) {
        run.recorder->Write(step);
    }
    if (stick.planned->expected != nullptr) {
        const std::vector<nlohmann::ordered_json>& expected = *stick.planned->expected;
        std::string diff;
        if (static_cast<size_t>(r.index) >= expected.size()) {
            diff = "step " + std::to_string(r.index) + ": not in the recording";
        } else if (!CompareStep(expected[r.index], step, &diff)) {
            // diff says where
        } else {
            ++run.matched;
            return true;
        }
        run.report.Error("the run differs from %s at %s", run.options.expectFile.c_str(),
                         diff.c_str());
        return false;
    }
    return true;
}

// Plugs a stick and shows the device the driver made over it.
bool PlugStick(PlayRun& run, const PlannedStick& planned, PluggedStick* plugged) {
    sim::pnp::Stack& stack = run.stack;
    bool together = run.together;
    const sim::stick::Model& model = sim::stick::ModelOf(planned.layout);
    sim::pnp::DeviceDescription description = sim::stick::ArcadeStick(model.productId);
    plugged->planned = &planned;
    plugged->hardwareId = description.hardwareIds.front();
    plugged->prefix = together ? "stick " + std::to_string(planned.number) + ": " : "";
    NTSTATUS status = stack.Plug(std::move(description), &plugged->id);
    RunReport& report = run.report;
    plugged->json = report.NewStick();
    ordered_json& json = report.Stick(plugged->json);
    if (together) {
        json["stick"] = planned.number;
    }
    json["model"] = std::string(1, model.letter);
    json["hardware_id"] = plugged->hardwareId;
    json["plug_status"] = status;
    std::string name = together ? Format("stick %d ", planned.number) : "stick ";
    std::string out =
        Format("== plugged %s%s on %s: %s\n", name.c_str(), plugged->hardwareId.c_str(),
               plugged->id != 0 ? stack.PdoName(plugged->id).c_str() : "?",
               NT_SUCCESS(status) ? "started" : "failed");
    if (!NT_SUCCESS(status) || stack.FunctionDevice(plugged->id) == nullptr) {
        run.report.SayText(out);
        run.report.Error("%splugging the stick failed: %08x", plugged->prefix.c_str(),
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
    out += ApplyMappingOptions(ctx, run.options, planned.number == 1, json);
    run.report.SayText(out);
    return true;
}

// Unplugs a stick and counts what its class driver received.
bool UnplugStick(PlayRun& run, PluggedStick& stick) {
    sim::pnp::Stack& stack = run.stack;
    bool together = run.together;
    NTSTATUS status = stack.Unplug(stick.id);
    stack.WaitRemoved(stick.id);
    bool removed = NT_SUCCESS(status) && stack.FunctionDevice(stick.id) == nullptr;
    std::string name = together ? Format("stick %d ", stick.planned->number) : "stick ";
    std::string out = Format("== unplugged %s%s: %s\n", name.c_str(), stick.hardwareId.c_str(),
                             removed ? "device removed" : "removal failed");
    ordered_json& json = run.report.Stick(stick.json);
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
    run.report.SayText(out);
    return removed;
}

// The title the live view gives a stick.
std::string LiveTitle(const PluggedStick& stick, bool together) {
    return std::string(together ? "stick " + std::to_string(stick.planned->number) + ": " : "") +
           sim::stick::ModelTitle(sim::stick::ModelOf(stick.planned->layout)) + ", device #" +
           std::to_string(stick.ctx->InstanceNumber);
}

// Brings up each stick's reader and emulated controller, in order (so the
// class driver numbers the players in that order), then plays the sessions
// through them; the application's handles and the readers' are closed
// before the sticks go.
int PlaySticks(PlayRun& run, std::vector<PluggedStick>& sticks) {
    sim::pnp::Stack& stack = run.stack;
    const Options& options = run.options;
    std::vector<std::unique_ptr<LivePipeline>> readers;
    std::vector<std::unique_ptr<StickPlayer>> players;
    std::vector<StickPlayer*> playing;
    for (PluggedStick& stick : sticks) {
        readers.push_back(std::make_unique<LivePipeline>(stack, stick.id, stick.ctx));
        stick.controller = BringUpController(run, stick.id, stick.ctx, *readers.back(),
                                             stick.prefix, run.report.Stick(stick.json));
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
    bool stopped = false;
    if (options.live) {
        std::vector<LiveStick> live;
        for (size_t i = 0; i < sticks.size(); ++i) {
            live.push_back(LiveStick{players[i].get(), LiveTitle(sticks[i], run.together)});
        }
        LiveViewOptions view;
        view.keyboard = options.keyboard;
        view.stopRequested = stop_signal::Requested;
        {
            // The driver's traces never draw over the view: held while it
            // shows, then printed once the terminal is given back.
            ULONG level = sim::trace::ConsoleLevel();
            sim::trace::Capture held;
            sim::trace::SetConsoleLevel(0);
            ok = RunLiveView(
                view, live, [&](const StepResult& r) { return RecordOrCheck(r, stickOf(r), run); },
                &error);
            sim::trace::SetConsoleLevel(level);
            for (const sim::trace::Record& r : held.Records()) {
                if (r.Level <= level) {
                    fprintf(stderr, "driver: %s", r.Text.c_str());
                }
            }
        }
        stopped = stop_signal::Requested();
        if (stopped) {
            error = "the live view was closed";
        }
    } else {
        // How far the sessions are, on the terminal, for a run that lasts.
        size_t total = 0, done = 0;
        std::chrono::microseconds end(0);
        for (const StickPlayer* player : playing) {
            total += player->steps.size();
            end = player->steps.empty() ? end : std::max(end, player->steps.back().at);
        }
        std::chrono::microseconds at(0);
        const auto start = std::chrono::steady_clock::now();
        auto sessionNow = [&] {
            if (options.speed <= 0) {
                return at;
            }
            auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                (std::chrono::steady_clock::now() - start) * options.speed);
            return std::min(end, std::max(at, elapsed));
        };
        ProgressLine progress(isatty(STDERR_FILENO) != 0);
        run.report.ShowProgress(&progress);
        PlayPace pace;
        pace.speed = options.speed;
        pace.stopRequested = stop_signal::Requested;
        pace.waiting = [&] { progress.Update(done, total, sessionNow(), end); };
        ok = PlaySessions(
            playing,
            [&](const StepResult& r) {
                PluggedStick& stick = stickOf(r);
                run.report.SayText(StepText(r, stick.ctx->RemapRecord, run.together));
                ++done;
                at = r.step->at;
                progress.Update(done, total, sessionNow(), end);
                return RecordOrCheck(r, stick, run);
            },
            pace, &error, &stopped);
        run.report.ShowProgress(nullptr);
        progress.Clear();
    }
    if (stopped) {
        // Not a failure: the run ends here as it would after its last step.
        run.report.Say("== %s: %s\n", strsignal(stop_signal::Signal()), error.c_str());
        run.report.Document()["stopped_by"] = strsignal(stop_signal::Signal());
        ok = true;
    } else if (!ok) {
        run.report.Error("%s", error.c_str());
    }
    for (std::unique_ptr<StickPlayer>& player : players) {
        player->app.Close();
    }
    return ok ? 0 : 1;
}

// Plugs the sticks, plays them together and unplugs them again.
int RunSticks(PlayRun& run, const std::vector<const PlannedStick*>& plan) {
    std::vector<PluggedStick> sticks;
    sticks.reserve(plan.size());
    int rc = 0;
    for (const PlannedStick* planned : plan) {
        sticks.emplace_back();
        if (!PlugStick(run, *planned, &sticks.back())) {
            rc = 1;
            break;
        }
    }
    if (rc == 0) {
        std::thread session([&] {
            sim::kernel::SetCurrentThreadName("session");
            rc = PlaySticks(run, sticks);
        });
        session.join();
    }
    for (PluggedStick& stick : sticks) {
        if (stick.ctx != nullptr && !UnplugStick(run, stick)) {
            rc = 1;
        }
    }
    sim::xbox::Forget();
    return rc;
}

} // namespace
int PlayMode(sim::pnp::Stack& stack, const RunPlan& plan, const Options& options,
             RunOutputs& outputs, RunReport& report) {
    PlayRun run{stack, options, report, plan.together, outputs.Recording()};
    int rc = 0;
    if (plan.together) {
        std::vector<const PlannedStick*> all;
        for (const PlannedStick& planned : plan.sticks) {
            all.push_back(&planned);
        }
        rc = RunSticks(run, all);
    } else {
        for (const PlannedStick& planned : plan.sticks) {
            if (stop_signal::Requested()) {
                break;
            }
            rc |= RunSticks(run, {&planned});
        }
    }
    if (!options.expectFile.empty()) {
        bool complete = rc == 0 && !stop_signal::Requested();
        if (complete) {
            report.Say("== recording check: all %zu steps match %s\n", run.matched,
                       options.expectFile.c_str());
        }
        report.Document()["recording_check"] = {
            {"file", options.expectFile}, {"matched_steps", run.matched}, {"passed", complete}};
    }
    return rc;
}

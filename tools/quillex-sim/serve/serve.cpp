#include "tools/quillex-sim/serve/serve.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "driver/device_add.h"
#include "sim/kernel/thread_state.h"
#include "sim/peers/app/companion.h"
#include "sim/peers/stick/plug.h"
#include "sim/peers/stick/raw_reports.h"
#include "sim/peers/stick/stick.h"
#include "sim/peers/xbox/class_driver.h"
#include "tools/quillex-sim/run/stick_mapping.h"
#include "tools/quillex-sim/run/stop_signal.h"
#include "tools/quillex-sim/serve/serve_protocol.h"
#include "tools/quillex-sim/session/live_pipeline.h"

namespace {

using json = nlohmann::json;

struct ServedStick {
    sim::pnp::Stack::DeviceId id = 0; // 0 while unplugged
    PDEVICE_CONTEXT context = nullptr;
    std::string interfacePath;
    // The server's own handle, as the run's: its open starts the stick's
    // reader, which creates the emulated controller and keeps reading while
    // it is open; its start-up wait passes on the simulated clock.
    std::unique_ptr<LivePipeline> reader;
    std::shared_ptr<sim::xbox::Controller> controller;
    size_t reportsShown = 0; // of the controller's completions
    sim::stick::Layout layout = sim::stick::Layout::A;
    unsigned number = 0; // the player's name for it, from 1: its place among the --sticks
};

// The sticks as served, in a fixed place each, plugged or not: a client
// unplugs one and plugs it again as a player pulls and puts back a cable.
// Clients find the plugged ones as Windows enumerates present interfaces:
// the Nth plugged stick is device N, so an unplug moves the later ones down.
struct ServedSticks {
    std::mutex lock; // guards every field of every stick, and what they own
    std::vector<ServedStick> sticks;
    std::vector<sim::pnp::Stack::DeviceId> unplugged; // each waited for at the end

    size_t PresentCount() const {
        size_t count = 0;
        for (const ServedStick& served : sticks) {
            count += served.id != 0 ? 1 : 0;
        }
        return count;
    }
    // The Nth plugged stick, or null.
    ServedStick* Present(size_t index) {
        for (ServedStick& served : sticks) {
            if (served.id != 0 && index-- == 0) {
                return &served;
            }
        }
        return nullptr;
    }
};

// Plugs a stick and brings up its reader and emulated controller; the stick
// then sends one report at rest (sticks centred, nothing pressed), as a
// stick does when it is plugged.
bool PlugStick(sim::pnp::Stack& stack, sim::stick::Layout layout, ServedStick* served,
               RunReport& report) {
    uint16_t productId = sim::stick::ModelOf(layout).productId;
    NTSTATUS status = stack.Plug(sim::stick::ArcadeStick(productId), &served->id);
    if (!NT_SUCCESS(status) || stack.FunctionDevice(served->id) == nullptr ||
        stack.Interfaces(served->id).empty()) {
        report.Error("plugging the stick failed: %08x", static_cast<unsigned>(status));
        return false;
    }
    served->layout = layout;
    served->context = QuillexGetDeviceContext(stack.FunctionDevice(served->id));
    served->interfacePath = stack.Interfaces(served->id).front();
    served->reader = std::make_unique<LivePipeline>(stack, served->id, served->context);
    status = served->reader->Start();
    if (!NT_SUCCESS(status) || QuillexChildOf(served->context) == nullptr) {
        report.Error("the driver's reader did not start reading: %08x",
                     static_cast<unsigned>(status));
        return false;
    }
    stack.WaitIdle();
    served->controller =
        sim::xbox::WaitForController(WdfDeviceWdmGetDeviceObject(QuillexChildOf(served->context)));
    if (served->controller == nullptr || !NT_SUCCESS(served->controller->WaitConfigured())) {
        report.Error("the class driver could not configure the controller");
        return false;
    }
    served->reportsShown = served->controller->CompletionCount();
    bool changed = false;
    status = served->reader->Feed(sim::stick::Encode(layout, {}), &changed);
    if (!NT_SUCCESS(status)) {
        report.Error("the reader did not take the stick's first report: %08x",
                     static_cast<unsigned>(status));
        return false;
    }
    return true;
}

// A surprise removal, as the cable pulled: the server's own handle goes, and
// the device is removed once the clients' handles close too.
void UnplugStick(sim::pnp::Stack& stack, ServedStick* served, ServedSticks& all) {
    served->reader.reset();
    stack.Unplug(served->id);
    all.unplugged.push_back(served->id);
    served->id = 0;
    served->context = nullptr;
    served->controller.reset();
    served->interfacePath.clear();
}

} // namespace

// Binds the socket, refusing to take the place of anything that is not a
// socket, or of a socket a server still answers on.
int ListenOnSocket(const std::string& path, std::string* error) {
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) {
        *error = "--serve: the socket path is longer than " +
                 std::to_string(sizeof(address.sun_path) - 1) + " bytes";
        return -1;
    }
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = "--serve: " + path + " exists and is not a socket; not replaced";
            return -1;
        }
        int probe = socket(AF_UNIX, SOCK_STREAM, 0);
        bool answered = probe >= 0 &&
                        connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        if (probe >= 0) {
            close(probe);
        }
        if (answered) {
            *error = "--serve: another server is listening on " + path;
            return -1;
        }
        unlink(path.c_str()); // left behind by a server that is gone
    }
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, 16) != 0) {
        *error = "--serve " + path + ": " + strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

namespace {

json Failure(const std::string& message) {
    return json{{"ok", false}, {"message", message}};
}

json StatusReply(bool ok, const sim::app::Companion& app) {
    return json{{"ok", ok},
                {"status", static_cast<uint32_t>(app.LastStatus())},
                {"win32", app.LastError()}};
}

// One client: its requests in order, on its own handle.
class Session {
  public:
    Session(sim::pnp::Stack& stack, ServedSticks& sticks, RunOutputs& outputs, RunReport& report)
        : stack_(stack), sticks_(sticks), outputs_(outputs), report_(report) {}

    json Handle(const std::string& line) {
        json request = json::parse(line, nullptr, false);
        if (request.is_discarded() || !request.is_object() || !request.contains("op") ||
            !request["op"].is_string()) {
            return Failure("a request is one JSON object with an \"op\"");
        }
        const std::string op = request["op"];
        if (op == "list") {
            std::lock_guard<std::mutex> guard(sticks_.lock);
            json devices = json::array();
            for (const ServedStick& served : sticks_.sticks) {
                if (served.id != 0) {
                    devices.push_back({{"index", devices.size()},
                                       {"interface", served.interfacePath},
                                       {"product_id", served.context->ProductId},
                                       {"stick", served.number}});
                }
            }
            return json{{"ok", true}, {"devices", devices}};
        }
        if (op == "open") {
            return Open(request);
        }
        if (op == "ioctl") {
            return Control(request);
        }
        if (op == "unplug" || op == "plug") {
            return PlugOrUnplug(request, op == "plug");
        }
        return Failure("unknown op \"" + op + "\" (list, open, ioctl, unplug, plug)");
    }

  private:
    json Open(const json& request) {
        if (request.contains("device") && !request["device"].is_number_unsigned()) {
            return Failure("\"device\" is a device's index, from 0");
        }
        const size_t index = request.value("device", size_t{0});
        std::string interfacePath;
        {
            std::lock_guard<std::mutex> guard(sticks_.lock);
            const ServedStick* served = sticks_.Present(index);
            if (served == nullptr) {
                return Failure("no device " + std::to_string(index) + " (there are " +
                               std::to_string(sticks_.PresentCount()) + ")");
            }
            interfacePath = served->interfacePath;
        }
        std::string access = request.value("access", std::string("readwrite"));
        DWORD rights = access == "read"        ? GENERIC_READ
                       : access == "write"     ? GENERIC_WRITE
                       : access == "readwrite" ? GENERIC_READ | GENERIC_WRITE
                                               : 0;
        if (rights == 0) {
            return Failure("access is read, write or readwrite");
        }
        bool ok = app_.Open(interfacePath, rights);
        json reply = StatusReply(ok, app_);
        if (ok) {
            reply["interface"] = interfacePath; // which stick this handle is on
        }
        return reply;
    }

    json PlugOrUnplug(const json& request, bool plug) {
        std::lock_guard<std::mutex> guard(sticks_.lock);
        if (!request.contains("stick") || !request["stick"].is_number_unsigned() ||
            request["stick"] < 1u || request["stick"] > sticks_.sticks.size()) {
            return Failure("\"stick\" is a served stick's number, 1 to " +
                           std::to_string(sticks_.sticks.size()));
        }
        ServedStick& served = sticks_.sticks[request["stick"].get<size_t>() - 1];
        if ((served.id != 0) == plug) {
            return Failure("stick " + std::to_string(served.number) + " is " +
                           (plug ? "plugged already" : "not plugged"));
        }
        if (!plug) {
            UnplugStick(stack_, &served, sticks_);
            report_.Say("== unplugged stick %u\n", served.number);
            return json{{"ok", true}};
        }
        if (!PlugStick(stack_, served.layout, &served, report_)) {
            // Whatever part of it came up goes again; the place stays free.
            if (served.id != 0) {
                UnplugStick(stack_, &served, sticks_);
            }
            return Failure("plugging stick " + std::to_string(served.number) + " again failed");
        }
        report_.Say("== plugged stick %u again, product id 0x%X: %s\n", served.number,
                    served.context->ProductId, served.interfacePath.c_str());
        return json{{"ok", true}};
    }

    json Control(const json& request) {
        if (!app_.IsOpen()) {
            return Failure("no device is open on this connection");
        }
        if (!request.contains("code") || !request["code"].is_number_unsigned() ||
            request["code"] > 0xFFFFFFFFu) {
            return Failure("\"code\" is a 32-bit control code");
        }
        std::vector<uint8_t> input;
        if (!FromHexField(request, &input)) {
            return Failure("\"in\" is an even number of hex digits, at most " +
                           std::to_string(quillex_serve::kMaxBufferBytes) + " bytes");
        }
        uint64_t outLength = request.value("out_length", 0u);
        if (!request.value("out_length", json(0)).is_number_unsigned() ||
            outLength > quillex_serve::kMaxBufferBytes) {
            return Failure("\"out_length\" is 0 to " +
                           std::to_string(quillex_serve::kMaxBufferBytes));
        }
        std::vector<uint8_t> output(outLength);
        DWORD returned = 0;
        bool ok =
            app_.Control(request["code"], input.empty() ? nullptr : input.data(),
                         static_cast<DWORD>(input.size()), output.empty() ? nullptr : output.data(),
                         static_cast<DWORD>(output.size()), &returned);
        output.resize(returned < output.size() ? returned : output.size());
        json reply = StatusReply(ok, app_);
        // A mapping the driver stored is written to the file at once, so
        // that even a killed server loses nothing.
        std::string error;
        if (ok && !outputs_.SaveRegistry(&error)) {
            fprintf(stderr, "quillex-sim: %s\n", error.c_str());
            reply["saved"] = false;
        }
        reply["returned"] = returned;
        reply["out"] = quillex_serve::ToHex(output);
        return reply;
    }

    static bool FromHexField(const json& request, std::vector<uint8_t>* bytes) {
        if (!request.contains("in")) {
            bytes->clear();
            return true;
        }
        return request["in"].is_string() &&
               request["in"].get_ref<const std::string&>().size() <=
                   2 * quillex_serve::kMaxBufferBytes &&
               quillex_serve::FromHex(request["in"], bytes);
    }

    sim::pnp::Stack& stack_;
    ServedSticks& sticks_;
    RunOutputs& outputs_;
    RunReport& report_;
    sim::app::Companion app_;
};

bool SendLine(int fd, const std::string& text) {
    std::string line = text + "\n";
    size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

void ServeClient(int fd, sim::pnp::Stack* stack, ServedSticks* sticks, RunOutputs* outputs,
                 RunReport* report) {
    sim::kernel::SetCurrentThreadName("companion");
    Session session(*stack, *sticks, *outputs, *report);
    std::string pending;
    char chunk[4096];
    for (;;) {
        ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            break;
        }
        pending.append(chunk, static_cast<size_t>(n));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!SendLine(fd, session.Handle(line).dump())) {
                close(fd);
                return;
            }
        }
        if (pending.size() > quillex_serve::kMaxLineBytes) {
            SendLine(fd, Failure("request line longer than 64 KiB").dump());
            break;
        }
    }
    close(fd);
}

// Shows every report the class driver reads, as a game would see it.
void ShowReports(ServedSticks& sticks, RunReport& report) {
    std::lock_guard<std::mutex> guard(sticks.lock);
    for (ServedStick& served : sticks.sticks) {
        if (served.controller == nullptr) {
            continue; // unplugged
        }
        std::vector<sim::xbox::Controller::Completion> all = served.controller->Completions();
        for (size_t c = served.reportsShown; c < all.size(); ++c) {
            if (all[c].isReport) {
                report.Say("   stick #%u: class driver read %s\n", served.context->InstanceNumber,
                           sim::xbox::Describe(all[c].pad).c_str());
            }
        }
        served.reportsShown = all.size();
    }
}

} // namespace

int Serve(sim::pnp::Stack& stack, const Options& options, RunOutputs& outputs, RunReport& report) {
    ServedSticks served;
    std::vector<ServedStick>& sticks = served.sticks;
    std::vector<sim::stick::Layout> models = StickModels(options.layout, options.sticks);
    // Plugged at once, they never move in the vector while served.
    sticks.reserve(models.size());
    int rc = 0;
    for (sim::stick::Layout layout : models) {
        sticks.emplace_back();
        ServedStick& stick = sticks.back();
        stick.number = static_cast<unsigned>(sticks.size());
        if (!PlugStick(stack, layout, &stick, report)) {
            rc = 1;
            break;
        }
        nlohmann::ordered_json stickJson;
        report.Say("== serving stick #%u, product id 0x%X: %s\n", stick.context->InstanceNumber,
                   stick.context->ProductId, stick.interfacePath.c_str());
        report.SayText(ApplyMappingOptions(stick.context, options, sticks.size() == 1, stickJson));
    }
    std::string error;
    if (rc == 0 && !outputs.SaveRegistry(&error)) {
        report.Error("%s", error.c_str());
        rc = 1;
    }
    int listener = outputs.ServeListener();
    if (rc == 0) {
        report.Say("== listening on %s (quillexctl --connect %s); SIGINT or SIGTERM stops\n",
                   options.serveSocket.c_str(), options.serveSocket.c_str());
        std::list<std::pair<int, std::thread>> clients;
        while (!stop_signal::Requested()) {
            pollfd waiting{listener, POLLIN, 0};
            if (poll(&waiting, 1, 20) > 0) {
                int fd = accept(listener, nullptr, nullptr);
                if (fd >= 0) {
                    clients.emplace_back(
                        fd, std::thread(ServeClient, fd, &stack, &served, &outputs, &report));
                }
            }
            ShowReports(served, report);
        }
        report.Say("== %s: stopping\n", strsignal(stop_signal::Signal()));
        // Clients still connected are cut off; their handles close with them.
        for (auto& client : clients) {
            shutdown(client.first, SHUT_RDWR);
            client.second.join();
        }
        ShowReports(served, report);
    }
    for (ServedStick& stick : sticks) {
        // The server's handle goes before removal, as the last one.
        stick.reader.reset();
        if (stick.id != 0) {
            stack.Unplug(stick.id);
            stack.WaitRemoved(stick.id);
        }
    }
    // Sticks unplugged while served: their removal waited for the clients'
    // handles, all closed now.
    for (sim::pnp::Stack::DeviceId id : served.unplugged) {
        stack.WaitRemoved(id);
    }
    sim::xbox::Forget();
    report.Say("== stopped serving; sticks unplugged\n");
    return rc;
}

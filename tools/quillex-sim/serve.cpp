#include "tools/quillex-sim/serve.h"

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
#include "sim/peers/stick/raw_reports.h"
#include "sim/peers/stick/stick.h"
#include "sim/peers/xbox/class_driver.h"
#include "tools/quillex-sim/serve_protocol.h"

namespace {

using json = nlohmann::json;

std::atomic<bool> g_stop{false};

void OnStopSignal(int) {
    g_stop = true;
}

struct ServedStick {
    sim::pnp::Stack::DeviceId id = 0;
    PDEVICE_CONTEXT context = nullptr;
    std::string interfacePath;
    // The server's own handle: its open starts the stick's reader, which
    // creates the emulated controller and keeps reading while it is open.
    std::unique_ptr<sim::app::Companion> keeper;
    std::unique_ptr<sim::stick::Stick> stick;
    std::shared_ptr<sim::xbox::Controller> controller;
    sim::stick::Layout layout = sim::stick::Layout::A;
};

// Waits until 'done' holds, or the limit passes.
template <class Done> bool WaitFor(Done done, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Plugs a stick and opens it, which starts its reader's start-up wait of
// five seconds.
bool PlugStick(sim::pnp::Stack& stack, sim::stick::Layout layout, ServedStick* served) {
    uint16_t productId = layout == sim::stick::Layout::A ? sim::stick::kLayoutAProductId
                                                         : sim::stick::kLayoutBProductId;
    NTSTATUS status = stack.Plug(sim::pnp::ArcadeStick(productId), &served->id);
    if (!NT_SUCCESS(status) || stack.FunctionDevice(served->id) == nullptr ||
        stack.Interfaces(served->id).empty()) {
        fprintf(stderr, "quillex-sim: plugging the stick failed: %08x\n",
                static_cast<unsigned>(status));
        return false;
    }
    served->context = QuillexGetDeviceContext(stack.FunctionDevice(served->id));
    served->interfacePath = stack.Interfaces(served->id).front();
    served->keeper = std::make_unique<sim::app::Companion>();
    if (!served->keeper->Open(served->interfacePath, GENERIC_READ)) {
        fprintf(stderr, "quillex-sim: opening the stick failed: %08x\n",
                static_cast<unsigned>(served->keeper->LastStatus()));
        return false;
    }
    served->layout = layout;
    return true;
}

// Waits for the stick's reader to bring the emulated controller up and the
// class driver to configure it; the stick then sends one report at rest
// (sticks centred, nothing pressed), as a stick does when it is plugged.
bool AttachController(sim::pnp::Stack& stack, ServedStick* served) {
    PDEVICE_CONTEXT context = served->context;
    if (!WaitFor([&] { return QuillexChildOf(context) != nullptr; }, std::chrono::seconds(15))) {
        fprintf(stderr, "quillex-sim: the reader did not create the emulated controller\n");
        return false;
    }
    stack.WaitIdle();
    served->controller =
        sim::xbox::WaitForController(WdfDeviceWdmGetDeviceObject(QuillexChildOf(context)));
    if (served->controller == nullptr || !NT_SUCCESS(served->controller->WaitConfigured())) {
        fprintf(stderr, "quillex-sim: the class driver could not configure the controller\n");
        return false;
    }
    served->stick = std::make_unique<sim::stick::Stick>(stack.Hid(served->id));
    served->stick->Send(sim::stick::Encode(served->layout, {}));
    return true;
}

// Binds the socket, refusing to take the place of anything that is not a
// socket, or of a socket a server still answers on.
int Listen(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) {
        fprintf(stderr, "quillex-sim: --serve: the socket path is longer than %zu bytes\n",
                sizeof(address.sun_path) - 1);
        return -1;
    }
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            fprintf(stderr, "quillex-sim: --serve: %s exists and is not a socket; not replaced\n",
                    path.c_str());
            return -1;
        }
        int probe = socket(AF_UNIX, SOCK_STREAM, 0);
        bool answered = probe >= 0 &&
                        connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        if (probe >= 0) {
            close(probe);
        }
        if (answered) {
            fprintf(stderr, "quillex-sim: --serve: another server is listening on %s\n",
                    path.c_str());
            return -1;
        }
        unlink(path.c_str()); // left behind by a server that is gone
    }
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, 16) != 0) {
        fprintf(stderr, "quillex-sim: --serve %s: %s\n", path.c_str(), strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

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
    explicit Session(const std::vector<ServedStick>& sticks) : sticks_(sticks) {}

    json Handle(const std::string& line) {
        json request = json::parse(line, nullptr, false);
        if (request.is_discarded() || !request.is_object() || !request.contains("op") ||
            !request["op"].is_string()) {
            return Failure("a request is one JSON object with an \"op\"");
        }
        const std::string op = request["op"];
        if (op == "list") {
            json devices = json::array();
            for (size_t i = 0; i < sticks_.size(); ++i) {
                devices.push_back({{"index", i},
                                   {"interface", sticks_[i].interfacePath},
                                   {"product_id", sticks_[i].context->ProductId}});
            }
            return json{{"ok", true}, {"devices", devices}};
        }
        if (op == "open") {
            return Open(request);
        }
        if (op == "ioctl") {
            return Control(request);
        }
        return Failure("unknown op \"" + op + "\" (list, open, ioctl)");
    }

  private:
    json Open(const json& request) {
        size_t index = 0;
        if (request.contains("device")) {
            if (!request["device"].is_number_unsigned() || request["device"] >= sticks_.size()) {
                return Failure("no device " + request["device"].dump() + " (there are " +
                               std::to_string(sticks_.size()) + ")");
            }
            index = request["device"];
        }
        std::string access = request.value("access", std::string("readwrite"));
        DWORD rights = access == "read"        ? GENERIC_READ
                       : access == "write"     ? GENERIC_WRITE
                       : access == "readwrite" ? GENERIC_READ | GENERIC_WRITE
                                               : 0;
        if (rights == 0) {
            return Failure("access is read, write or readwrite");
        }
        bool ok = app_.Open(sticks_[index].interfacePath, rights);
        return StatusReply(ok, app_);
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

    const std::vector<ServedStick>& sticks_;
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

void ServeClient(int fd, const std::vector<ServedStick>& sticks) {
    sim::kernel::SetCurrentThreadName("companion");
    Session session(sticks);
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
void ShowReports(const std::vector<ServedStick>& sticks, std::vector<size_t>* shown) {
    for (size_t i = 0; i < sticks.size(); ++i) {
        std::vector<sim::xbox::Controller::Completion> all = sticks[i].controller->Completions();
        for (size_t c = (*shown)[i]; c < all.size(); ++c) {
            if (all[c].isReport) {
                printf("   stick #%u: class driver read %s\n", sticks[i].context->InstanceNumber,
                       sim::xbox::Describe(all[c].pad).c_str());
            }
        }
        (*shown)[i] = all.size();
    }
    fflush(stdout);
}

} // namespace

int Serve(sim::pnp::Stack& stack, const Options& options) {
    std::vector<ServedStick> sticks;
    std::vector<sim::stick::Layout> models = StickModels(options.layout, options.sticks);
    // Plugged at once, they never move in the vector while served.
    sticks.reserve(models.size());
    // All plugged and opened first, so their readers' start-up waits run
    // side by side.
    for (sim::stick::Layout layout : models) {
        sticks.emplace_back();
        if (!PlugStick(stack, layout, &sticks.back())) {
            return 1;
        }
    }
    for (ServedStick& served : sticks) {
        if (!AttachController(stack, &served)) {
            return 1;
        }
        printf("== serving stick #%u, product id 0x%X: %s\n", served.context->InstanceNumber,
               served.context->ProductId, served.interfacePath.c_str());
    }

    // The handlers are in place before the socket exists: a client that
    // stops the server as soon as it can connect stops it cleanly.
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    int listener = Listen(options.serveSocket);
    if (listener < 0) {
        return 1;
    }
    printf("== listening on %s (quillexctl --connect %s); SIGINT or SIGTERM stops\n",
           options.serveSocket.c_str(), options.serveSocket.c_str());
    fflush(stdout);

    std::vector<size_t> shown(sticks.size());
    for (size_t i = 0; i < sticks.size(); ++i) {
        shown[i] = sticks[i].controller->CompletionCount();
    }
    std::mutex clientsLock;
    std::list<std::pair<int, std::thread>> clients;
    while (!g_stop) {
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, 20) > 0) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd >= 0) {
                std::lock_guard<std::mutex> guard(clientsLock);
                clients.emplace_back(fd, std::thread(ServeClient, fd, std::cref(sticks)));
            }
        }
        ShowReports(sticks, &shown);
    }

    // Clients still connected are cut off; their handles close with them.
    close(listener);
    unlink(options.serveSocket.c_str());
    for (auto& client : clients) {
        shutdown(client.first, SHUT_RDWR);
        client.second.join();
    }
    ShowReports(sticks, &shown);
    for (ServedStick& stick : sticks) {
        // A stick goes before its stack, and the last handle before removal.
        stick.stick.reset();
        stick.keeper.reset();
        stack.Unplug(stick.id);
        stack.WaitRemoved(stick.id);
    }
    sim::xbox::Forget();
    printf("== stopped serving; sticks unplugged\n");
    return 0;
}

// The device link to a `quillex-sim --serve` machine: one connection, one
// handle on the chosen stick, one JSON line per request.
#ifndef _WIN32

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tools/quillex-sim/serve/serve_protocol.h"
#include "tools/quillexctl/device_link.h"

namespace {

using json = nlohmann::json;

class SocketLink : public DeviceLink {
  public:
    explicit SocketLink(int fd) : fd_(fd) {}
    ~SocketLink() override { close(fd_); }

    // One request and its reply; false with *error when the server is gone
    // or answers something that is not JSON.
    bool Exchange(const json& request, json* reply, std::string* error) {
        std::string line = request.dump() + "\n";
        for (size_t sent = 0; sent < line.size();) {
            ssize_t n = send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                *error = std::string("the server closed the connection: ") + strerror(errno);
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        size_t end;
        while ((end = pending_.find('\n')) == std::string::npos) {
            char chunk[4096];
            ssize_t n = recv(fd_, chunk, sizeof(chunk), 0);
            if (n <= 0) {
                *error = "the server closed the connection";
                return false;
            }
            pending_.append(chunk, static_cast<size_t>(n));
        }
        *reply = json::parse(pending_.substr(0, end), nullptr, false);
        pending_.erase(0, end + 1);
        if (reply->is_discarded() || !reply->is_object()) {
            *error = "the server's reply is not JSON";
            return false;
        }
        return true;
    }

    LinkResult Control(uint32_t code, const std::vector<uint8_t>& input,
                       size_t outputLength) override {
        LinkResult result;
        json reply;
        json request = {{"op", "ioctl"},
                        {"code", code},
                        {"in", quillex_serve::ToHex(input)},
                        {"out_length", outputLength}};
        if (!Exchange(request, &reply, &result.message)) {
            return result;
        }
        result.ok = reply.value("ok", false);
        result.status = reply.value("status", 0u);
        result.win32 = reply.value("win32", 0u);
        result.message = reply.value("message", std::string());
        if (!quillex_serve::FromHex(reply.value("out", std::string()), &result.out)) {
            result.ok = false;
            result.message = "the server's reply carries malformed data";
        }
        return result;
    }

    std::string Identity() const override { return interface_; }
    void SetIdentity(const std::string& interfacePath) { interface_ = interfacePath; }

  private:
    int fd_;
    std::string pending_;
    std::string interface_;
};

} // namespace

namespace {

std::unique_ptr<SocketLink> Connect(const std::string& socketPath, std::string* error) {
    sockaddr_un address{};
    if (socketPath.size() >= sizeof(address.sun_path)) {
        *error = "the socket path " + socketPath + " is too long";
        return nullptr;
    }
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        *error = "cannot connect to " + socketPath + ": " + strerror(errno) +
                 " (is `quillex-sim --serve " + socketPath + "` running?)";
        if (fd >= 0) {
            close(fd);
        }
        return nullptr;
    }
    return std::make_unique<SocketLink>(fd);
}

} // namespace

bool ListServerSticks(const std::string& socketPath, std::vector<std::string>* interfaces,
                      std::string* error) {
    std::unique_ptr<SocketLink> link = Connect(socketPath, error);
    json reply;
    if (link == nullptr || !link->Exchange({{"op", "list"}}, &reply, error)) {
        return false;
    }
    if (!reply.value("ok", false) || !reply.contains("devices") || !reply["devices"].is_array()) {
        *error = "the server's list is not a list of devices";
        return false;
    }
    interfaces->clear();
    for (const json& device : reply["devices"]) {
        interfaces->push_back(device.is_object() ? device.value("interface", std::string())
                                                 : std::string());
    }
    return true;
}

std::unique_ptr<DeviceLink> ConnectToServer(const std::string& socketPath, unsigned device,
                                            std::string* error) {
    std::unique_ptr<SocketLink> link = Connect(socketPath, error);
    if (link == nullptr) {
        return nullptr;
    }
    json reply;
    if (!link->Exchange({{"op", "open"}, {"device", device}, {"access", "readwrite"}}, &reply,
                        error)) {
        return nullptr;
    }
    if (!reply.value("ok", false)) {
        // Sticks are named to the player as quillex-sim numbers them, from 1.
        json list;
        std::string ignored;
        size_t count = link->Exchange({{"op", "list"}}, &list, &ignored) &&
                               list.contains("devices") && list["devices"].is_array()
                           ? list["devices"].size()
                           : 0;
        *error = "no stick " + std::to_string(device + 1) + " to open: the machine has " +
                 std::to_string(count) + " (--stick 1 to " + std::to_string(count) + ")";
        if (count > device) {
            *error = "opening stick " + std::to_string(device + 1) + " failed" +
                     (reply.contains("message") ? ": " + reply.value("message", std::string())
                                                : std::string());
        }
        return nullptr;
    }
    link->SetIdentity(reply.value("interface", std::string()));
    return link;
}

#endif // !_WIN32

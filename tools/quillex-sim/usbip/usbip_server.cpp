#include "tools/quillex-sim/usbip/usbip_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>

#include "sim/kernel/thread_state.h"
#include "sim/peers/usbip/host_device.h"
#include "tools/quillex-sim/usbip/usbip_wire.h"

namespace usbip_server {

using sim::usbip::HostDevice;
using namespace usbip_wire;

namespace {

constexpr uint32_t kBusNumber = 1;

std::string BusId(const HostDevice& device) {
    return std::to_string(kBusNumber) + "-" + std::to_string(device.Port());
}

// The devices a host may import now, by port.
std::vector<std::pair<std::shared_ptr<HostDevice>, DeviceInfo>> Exported() {
    std::vector<std::pair<std::shared_ptr<HostDevice>, DeviceInfo>> out;
    for (const std::shared_ptr<HostDevice>& device : sim::usbip::Devices()) {
        DeviceInfo info;
        if (!device->Ready() ||
            !DescribeDevice(device->DeviceDescriptor(), device->Configuration(), &info)) {
            continue;
        }
        info.busId = BusId(*device);
        info.busNumber = kBusNumber;
        info.deviceNumber = device->Port();
        info.path = "/sys/devices/platform/quillex-sim/usb1/" + info.busId;
        info.speed = device->HighSpeed() ? kSpeedHigh : kSpeedFull;
        out.emplace_back(device, std::move(info));
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
        return a.second.deviceNumber < b.second.deviceNumber;
    });
    return out;
}

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

} // namespace

// One host's connection: its operation, and after an import its URB traffic.
class Connection : public sim::usbip::AnswerSink {
  public:
    Connection(int fd, std::string peer, Log log)
        : fd_(fd), peer_(std::move(peer)), log_(std::move(log)) {}
    ~Connection() override {
        if (reader_.joinable()) {
            reader_.join();
        }
    }

    void Start() {
        reader_ = std::thread([this] {
            sim::kernel::SetCurrentThreadName("usbip");
            Serve();
            finished_ = true;
        });
    }
    bool Finished() const { return finished_; }
    // Wakes the reader: the connection ends.
    void Shutdown() {
        std::lock_guard<std::mutex> guard(fdLock_);
        if (fd_ >= 0) {
            shutdown(fd_, SHUT_RDWR);
        }
    }

    void Answered(sim::usbip::Answer answer) override {
        Queue(RetSubmit(answer.seqnum, answer.status, answer.actualLength, answer.data));
    }
    void Unlinked(uint32_t seqnum, int32_t status) override { Queue(RetUnlink(seqnum, status)); }
    void DeviceGone() override {
        {
            std::lock_guard<std::mutex> guard(queueLock_);
            deviceGone_ = true;
        }
        queueChanged_.notify_all();
    }

  private:
    enum class Read { Ok, End, Short, Failed };

    Read ReadExact(void* into, size_t count) {
        auto* at = static_cast<uint8_t*>(into);
        size_t got = 0;
        while (got < count) {
            ssize_t n = recv(fd_, at + got, count - got, 0);
            if (n == 0) {
                return got == 0 ? Read::End : Read::Short;
            }
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return Read::Failed;
            }
            got += static_cast<size_t>(n);
        }
        return Read::Ok;
    }

    bool SendAll(const std::vector<uint8_t>& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    void Trace(const std::string& what) {
        if (log_) {
            log_(peer_ + ": " + what);
        }
    }

    void Queue(std::vector<uint8_t> packet) {
        {
            std::lock_guard<std::mutex> guard(queueLock_);
            queue_.push_back(std::move(packet));
        }
        queueChanged_.notify_all();
    }

    // Sends what the device answers, in order; after the device has gone,
    // what it answered last, then the end of the connection.
    void WriterLoop() {
        sim::kernel::SetCurrentThreadName("usbip-tx");
        std::unique_lock<std::mutex> guard(queueLock_);
        bool broken = false;
        for (;;) {
            queueChanged_.wait(guard,
                               [this] { return !queue_.empty() || closing_ || deviceGone_; });
            if (!queue_.empty()) {
                std::vector<uint8_t> packet = std::move(queue_.front());
                queue_.pop_front();
                guard.unlock();
                if (!broken && !SendAll(packet)) {
                    broken = true;
                    Shutdown(); // the host is gone: the reader ends too
                }
                guard.lock();
                continue;
            }
            if (closing_) {
                return;
            }
            if (deviceGone_) {
                guard.unlock();
                Trace("the device left: connection closed");
                Shutdown();
                guard.lock();
                closing_ = true;
                return;
            }
        }
    }

    void Serve() {
        uint8_t bytes[kOpHeaderLength];
        Read read = ReadExact(bytes, sizeof(bytes));
        if (read != Read::Ok) {
            if (read == Read::Short) {
                Trace("short operation header: connection closed");
            }
            Close();
            return;
        }
        OpHeader header = GetOpHeader(bytes);
        if (header.version != kVersion) {
            Trace("protocol version " + Hex32(header.version) + ", not 0x0111: connection closed");
        } else if (header.code == kOpReqDevlist) {
            ListDevices();
        } else if (header.code == kOpReqImport) {
            Import();
        } else {
            Trace("unknown operation " + Hex32(header.code) + ": connection closed");
        }
        Close();
    }

    void ListDevices() {
        auto devices = Exported();
        std::vector<uint8_t> reply;
        PutOpHeader(&reply, OpHeader{kVersion, kOpRepDevlist, kOpStatusOk});
        Put32(&reply, static_cast<uint32_t>(devices.size()));
        for (const auto& device : devices) {
            PutDevice(&reply, device.second, true);
        }
        SendAll(reply);
    }

    void RefuseImport(const std::string& why) {
        Trace(why);
        std::vector<uint8_t> reply;
        PutOpHeader(&reply, OpHeader{kVersion, kOpRepImport, kOpStatusError});
        SendAll(reply);
    }

    void Import() {
        char busId[kBusIdLength];
        if (ReadExact(busId, sizeof(busId)) != Read::Ok) {
            Trace("short import request: connection closed");
            return;
        }
        if (memchr(busId, 0, sizeof(busId)) == nullptr) {
            RefuseImport("import of a bus id without its terminating NUL: refused");
            return;
        }
        std::shared_ptr<HostDevice> device;
        DeviceInfo info;
        for (auto& exported : Exported()) {
            if (exported.second.busId == busId) {
                device = exported.first;
                info = exported.second;
            }
        }
        if (device == nullptr) {
            RefuseImport(std::string("import of ") + busId + ": no such device, refused");
            return;
        }
        if (!device->Attach(this)) {
            RefuseImport(std::string("import of ") + busId + ": already imported, refused");
            return;
        }
        std::vector<uint8_t> reply;
        PutOpHeader(&reply, OpHeader{kVersion, kOpRepImport, kOpStatusOk});
        PutDevice(&reply, info, false);
        Trace(std::string("imported ") + busId);
        if (SendAll(reply)) {
            std::thread writer([this] { WriterLoop(); });
            CarryUrbs(*device, info.busNumber << 16 | info.deviceNumber);
            // Nothing the device still holds is answered from here on.
            device->Detach();
            {
                std::lock_guard<std::mutex> guard(queueLock_);
                closing_ = true;
            }
            queueChanged_.notify_all();
            writer.join();
        } else {
            device->Detach();
        }
        Trace(std::string("released ") + busId);
    }

    void CarryUrbs(HostDevice& device, uint32_t devid) {
        for (;;) {
            // The command first: a packet that is not URB traffic (a second
            // import, say) is refused without waiting for 48 bytes of it.
            uint8_t bytes[kUrbHeaderLength];
            Read read = ReadExact(bytes, 4);
            uint32_t command = Get32(bytes);
            if (read == Read::Ok && command != kCmdSubmit && command != kCmdUnlink) {
                Trace("unknown command " + Hex32(command) + ": connection closed");
                return;
            }
            if (read == Read::Ok) {
                read = ReadExact(bytes + 4, sizeof(bytes) - 4);
                read = read == Read::End ? Read::Short : read;
            }
            if (read == Read::Short) {
                Trace("short URB header: connection closed");
            }
            if (read != Read::Ok) {
                return;
            }
            UrbHeader header = GetUrbHeader(bytes);
            if (header.command == kCmdSubmit) {
                std::string wrong = CheckSubmit(header, devid);
                if (!wrong.empty()) {
                    Trace(wrong + ": connection closed");
                    return;
                }
                sim::usbip::Request request;
                request.seqnum = header.seqnum;
                request.endpoint = header.ep;
                request.in = header.direction == 1;
                request.flags = header.transferFlags;
                request.setup = header.setup;
                request.length = static_cast<uint32_t>(header.transferBufferLength);
                if (!request.in && request.length != 0) {
                    request.out.resize(request.length);
                    if (ReadExact(request.out.data(), request.out.size()) != Read::Ok) {
                        Trace("submit " + std::to_string(header.seqnum) + " announced " +
                              std::to_string(request.length) +
                              " bytes and the connection ended before them: connection closed");
                        return;
                    }
                }
                if (!device.Submit(std::move(request))) {
                    Trace("submit " + std::to_string(header.seqnum) +
                          " reuses a sequence number still out: connection closed");
                    return;
                }
            } else if (header.command == kCmdUnlink) {
                std::string wrong = CheckUnlink(header, devid);
                if (!wrong.empty()) {
                    Trace(wrong + ": connection closed");
                    return;
                }
                device.Unlink(header.seqnum, header.unlinkSeqnum);
            }
        }
    }

    void Close() {
        std::lock_guard<std::mutex> guard(fdLock_);
        if (fd_ >= 0) {
            shutdown(fd_, SHUT_RDWR);
            close(fd_);
            fd_ = -1;
        }
    }

    std::mutex fdLock_;
    int fd_;
    std::string peer_;
    Log log_;
    std::thread reader_;
    std::atomic<bool> finished_{false};

    std::mutex queueLock_;
    std::condition_variable queueChanged_;
    std::deque<std::vector<uint8_t>> queue_;
    bool closing_ = false;
    bool deviceGone_ = false;
};

bool ParseEndpoint(const std::string& text, Endpoint* endpoint, std::string* error) {
    std::string address = endpoint->address;
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *error = "'" + text + "' is not [IPV6-ADDRESS]:PORT";
            return false;
        }
        address = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (size_t colon = text.rfind(':'); colon != std::string::npos) {
        if (text.find(':') != colon) {
            *error = "'" + text + "': write an IPv6 address in brackets, [ADDRESS]:PORT";
            return false;
        }
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) > 65535) {
        *error = "'" + port + "' is not a port number (0 to 65535)";
        return false;
    }
    in6_addr v6;
    in_addr v4;
    if (inet_pton(AF_INET, address.c_str(), &v4) != 1 &&
        inet_pton(AF_INET6, address.c_str(), &v6) != 1) {
        *error = "'" + address + "' is not a numeric IPv4 or IPv6 address";
        return false;
    }
    endpoint->address = address;
    endpoint->port = static_cast<uint16_t>(std::stoul(port));
    return true;
}

bool IsLoopback(const std::string& address) {
    in_addr v4;
    in6_addr v6;
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

Server::Server(Log log) : log_(std::move(log)) {}

Server::~Server() {
    Stop();
}

bool Server::Listen(const Endpoint& endpoint, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    std::string port = std::to_string(endpoint.port);
    int rc = getaddrinfo(endpoint.address.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        *error = endpoint.address + ": " + gai_strerror(rc);
        return false;
    }
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 16) != 0) {
        *error = "cannot listen on " + endpoint.address + " port " + port + ": " + strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        freeaddrinfo(found);
        return false;
    }
    freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    listener_ = fd;
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void Server::AcceptLoop() {
    for (;;) {
        sockaddr_storage from{};
        socklen_t length = sizeof(from);
        int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) {
            if (fd >= 0) {
                close(fd);
            }
            return;
        }
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
                continue;
            }
            return;
        }
        char host[INET6_ADDRSTRLEN] = "?";
        char service[8] = "?";
        getnameinfo(reinterpret_cast<sockaddr*>(&from), length, host, sizeof(host), service,
                    sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV);
        Reap(false);
        auto connection = std::make_shared<Connection>(
            fd, std::string("usbip ") + host + " port " + service, log_);
        connections_.push_back(connection);
        connection->Start();
    }
}

// Drops the connections that have ended (all of them on stop, after they end).
void Server::Reap(bool all) {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (all || (*it)->Finished()) {
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

size_t Server::Connections() {
    std::lock_guard<std::mutex> guard(lock_);
    size_t open = 0;
    for (const auto& connection : connections_) {
        open += connection->Finished() ? 0 : 1;
    }
    return open;
}

void Server::Stop() {
    std::list<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_ || listener_ < 0) {
            stopping_ = true;
            return;
        }
        stopping_ = true;
        shutdown(listener_, SHUT_RDWR); // wakes the acceptor
    }
    acceptor_.join();
    close(listener_);
    {
        std::lock_guard<std::mutex> guard(lock_);
        connections.swap(connections_);
    }
    for (const auto& connection : connections) {
        connection->Shutdown();
    }
    connections.clear(); // each joins its reader, which has released its device
}

} // namespace usbip_server

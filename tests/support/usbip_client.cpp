#include "tests/support/usbip_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillex_test {
namespace {

uint32_t Be32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
           static_cast<uint32_t>(b[2]) << 8 | b[3];
}

uint16_t Be16(const uint8_t* b) {
    return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

std::chrono::steady_clock::time_point After(std::chrono::milliseconds limit) {
    return std::chrono::steady_clock::now() + limit;
}

} // namespace

UsbipClient::~UsbipClient() {
    Close();
}

bool UsbipClient::Connect(uint16_t port) {
    Close();
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
}

void UsbipClient::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

void UsbipClient::EndSending() {
    shutdown(fd_, SHUT_WR);
}

bool UsbipClient::Send(const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

void UsbipClient::Put32(std::vector<uint8_t>* out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out->push_back(static_cast<uint8_t>(value >> shift));
    }
}

void UsbipClient::Put16(std::vector<uint8_t>* out, uint16_t value) {
    out->push_back(static_cast<uint8_t>(value >> 8));
    out->push_back(static_cast<uint8_t>(value));
}

UsbipClient::Read UsbipClient::ReadExact(void* into, size_t count,
                                         std::chrono::steady_clock::time_point deadline) {
    auto* at = static_cast<uint8_t*>(into);
    size_t got = 0;
    while (got < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready == 0) {
            return Read::Timeout;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Read::Closed;
        }
        ssize_t n = recv(fd_, at + got, count - got, 0);
        if (n <= 0) {
            return Read::Closed;
        }
        got += static_cast<size_t>(n);
    }
    return Read::Ok;
}

bool UsbipClient::ReadDevice(Device* device, std::chrono::steady_clock::time_point deadline) {
    uint8_t block[312];
    if (ReadExact(block, sizeof(block), deadline) != Read::Ok) {
        return false;
    }
    device->path.assign(reinterpret_cast<char*>(block),
                        strnlen(reinterpret_cast<char*>(block), 256));
    device->busId.assign(reinterpret_cast<char*>(block + 256),
                         strnlen(reinterpret_cast<char*>(block + 256), 32));
    device->busNumber = Be32(block + 288);
    device->deviceNumber = Be32(block + 292);
    device->speed = Be32(block + 296);
    device->vendorId = Be16(block + 300);
    device->productId = Be16(block + 302);
    device->bcdDevice = Be16(block + 304);
    device->deviceClass = block[306];
    device->deviceSubClass = block[307];
    device->deviceProtocol = block[308];
    device->configurationValue = block[309];
    device->configurationCount = block[310];
    device->interfaceCount = block[311];
    return true;
}

bool UsbipClient::ListDevices(std::vector<Device>* devices) {
    std::vector<uint8_t> request;
    Put16(&request, 0x0111);
    Put16(&request, 0x8005);
    Put32(&request, 0);
    if (!Send(request)) {
        return false;
    }
    auto deadline = After(std::chrono::seconds(5));
    uint8_t header[12];
    if (ReadExact(header, sizeof(header), deadline) != Read::Ok || Be16(header) != 0x0111 ||
        Be16(header + 2) != 0x0005 || Be32(header + 4) != 0) {
        return false;
    }
    uint32_t count = Be32(header + 8);
    devices->clear();
    for (uint32_t i = 0; i < count; ++i) {
        Device device;
        if (!ReadDevice(&device, deadline)) {
            return false;
        }
        for (uint8_t j = 0; j < device.interfaceCount; ++j) {
            uint8_t entry[4];
            if (ReadExact(entry, sizeof(entry), deadline) != Read::Ok) {
                return false;
            }
            device.interfaces.push_back({entry[0], entry[1], entry[2]});
        }
        devices->push_back(device);
    }
    return true;
}

int UsbipClient::Import(const std::string& busId, Device* device) {
    std::vector<uint8_t> request;
    Put16(&request, 0x0111);
    Put16(&request, 0x8003);
    Put32(&request, 0);
    request.insert(request.end(), busId.begin(), busId.end());
    request.resize(8 + 32, 0);
    if (!Send(request)) {
        return -1;
    }
    auto deadline = After(std::chrono::seconds(5));
    uint8_t header[8];
    if (ReadExact(header, sizeof(header), deadline) != Read::Ok || Be16(header) != 0x0111 ||
        Be16(header + 2) != 0x0003) {
        return -1;
    }
    uint32_t status = Be32(header + 4);
    if (status == 0) {
        Device imported;
        if (!ReadDevice(&imported, deadline)) {
            return -1;
        }
        devid_ = imported.busNumber << 16 | imported.deviceNumber;
        if (device != nullptr) {
            *device = imported;
        }
    }
    return static_cast<int>(status);
}

std::vector<uint8_t> UsbipClient::SubmitHeader(uint32_t seqnum, uint32_t devid, uint32_t direction,
                                               uint32_t endpoint, int32_t length,
                                               const std::array<uint8_t, 8>& setup, int32_t packets,
                                               uint32_t flags) {
    std::vector<uint8_t> packet;
    Put32(&packet, 1); // CMD_SUBMIT
    Put32(&packet, seqnum);
    Put32(&packet, devid);
    Put32(&packet, direction);
    Put32(&packet, endpoint);
    Put32(&packet, flags);
    Put32(&packet, static_cast<uint32_t>(length));
    Put32(&packet, 0); // start_frame
    Put32(&packet, static_cast<uint32_t>(packets));
    Put32(&packet, 0); // interval
    packet.insert(packet.end(), setup.begin(), setup.end());
    return packet;
}

void UsbipClient::Submit(uint32_t seqnum, uint32_t endpoint, bool in, uint32_t length,
                         const std::vector<uint8_t>& out, uint32_t flags) {
    std::vector<uint8_t> packet = SubmitHeader(seqnum, devid_, in ? 1 : 0, endpoint,
                                               static_cast<int32_t>(length), {}, 0, flags);
    packet.insert(packet.end(), out.begin(), out.end());
    inbound_[seqnum] = in;
    Send(packet);
}

void UsbipClient::Control(uint32_t seqnum, const std::array<uint8_t, 8>& setup,
                          const std::vector<uint8_t>& out) {
    bool in = (setup[0] & 0x80) != 0;
    uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    std::vector<uint8_t> packet = SubmitHeader(seqnum, devid_, in ? 1 : 0, 0, length, setup);
    packet.insert(packet.end(), out.begin(), out.end());
    inbound_[seqnum] = in;
    Send(packet);
}

void UsbipClient::Unlink(uint32_t seqnum, uint32_t target) {
    std::vector<uint8_t> packet;
    Put32(&packet, 2); // CMD_UNLINK
    Put32(&packet, seqnum);
    Put32(&packet, devid_);
    Put32(&packet, 0);
    Put32(&packet, 0);
    Put32(&packet, target);
    packet.resize(48, 0);
    Send(packet);
}

bool UsbipClient::Receive(Reply* reply, std::chrono::milliseconds limit) {
    auto deadline = After(limit);
    uint8_t header[48];
    if (ReadExact(header, sizeof(header), deadline) != Read::Ok) {
        return false;
    }
    reply->command = Be32(header);
    reply->seqnum = Be32(header + 4);
    reply->status = static_cast<int32_t>(Be32(header + 20));
    reply->actualLength = static_cast<int32_t>(Be32(header + 24));
    reply->data.clear();
    if (reply->command == 3) {
        bool in = inbound_.count(reply->seqnum) != 0 && inbound_[reply->seqnum];
        inbound_.erase(reply->seqnum);
        if (in && reply->actualLength > 0) {
            if (reply->actualLength > 65536) {
                return false;
            }
            reply->data.resize(static_cast<size_t>(reply->actualLength));
            if (ReadExact(reply->data.data(), reply->data.size(), deadline) != Read::Ok) {
                return false;
            }
        }
    }
    return true;
}

bool UsbipClient::WaitClosed(std::chrono::milliseconds limit) {
    auto deadline = After(limit);
    uint8_t sink[256];
    for (;;) {
        Read read = ReadExact(sink, 1, deadline);
        if (read == Read::Closed) {
            return true;
        }
        if (read == Read::Timeout) {
            return false;
        }
    }
}

bool UsbipClient::Quiet(std::chrono::milliseconds limit) {
    uint8_t byte;
    return ReadExact(&byte, 1, After(limit)) == Read::Timeout;
}

} // namespace quillex_test

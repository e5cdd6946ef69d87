// A USB/IP client for the tests, speaking the protocol over a loopback TCP
// connection as a remote host's vhci driver would: a device list or an import,
// then submits and unlinks, with their answers read back field by field.
// It encodes and decodes every packet itself, independently of the server.
#pragma once

#include <stdint.h>

#include <array>
#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace quillex_test {

class UsbipClient {
  public:
    struct Device {
        std::string path;
        std::string busId;
        uint32_t busNumber = 0, deviceNumber = 0, speed = 0;
        uint16_t vendorId = 0, productId = 0, bcdDevice = 0;
        uint8_t deviceClass = 0, deviceSubClass = 0, deviceProtocol = 0;
        uint8_t configurationValue = 0, configurationCount = 0, interfaceCount = 0;
        std::vector<std::array<uint8_t, 3>> interfaces;
    };

    // One answer: a RET_SUBMIT (command 3) or a RET_UNLINK (command 4).
    struct Reply {
        uint32_t command = 0;
        uint32_t seqnum = 0;
        int32_t status = 0;
        int32_t actualLength = 0;
        std::vector<uint8_t> data;
    };

    UsbipClient() = default;
    ~UsbipClient();
    UsbipClient(const UsbipClient&) = delete;
    UsbipClient& operator=(const UsbipClient&) = delete;

    bool Connect(uint16_t port);
    void Close();
    bool Send(const std::vector<uint8_t>& bytes);
    // Ends the sending side only, as a host that stops in the middle of a packet.
    void EndSending();

    // OP_REQ_DEVLIST; false when the reply is malformed.
    bool ListDevices(std::vector<Device>* devices);
    // OP_REQ_IMPORT; the reply's status (0 imported), or -1 when none came.
    int Import(const std::string& busId, Device* device = nullptr);

    // CMD_SUBMIT to an endpoint; OUT data follows the header.
    void Submit(uint32_t seqnum, uint32_t endpoint, bool in, uint32_t length,
                const std::vector<uint8_t>& out = {}, uint32_t flags = 0);
    // A control transfer on endpoint 0: direction and length from the setup
    // packet.
    void Control(uint32_t seqnum, const std::array<uint8_t, 8>& setup,
                 const std::vector<uint8_t>& out = {});
    void Unlink(uint32_t seqnum, uint32_t target);

    // The next answer; false when none came in time or the connection ended.
    bool Receive(Reply* reply, std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Whether the server closes the connection within the limit, reading and
    // dropping whatever comes before.
    bool WaitClosed(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Whether nothing at all arrives within the limit (and the connection stays).
    bool Quiet(std::chrono::milliseconds limit);

    uint32_t Devid() const { return devid_; }
    void SetDevid(uint32_t devid) { devid_ = devid; }

    // Big-endian encoding, for tests that build packets by hand.
    static void Put32(std::vector<uint8_t>* out, uint32_t value);
    static void Put16(std::vector<uint8_t>* out, uint16_t value);
    static std::vector<uint8_t> SubmitHeader(uint32_t seqnum, uint32_t devid, uint32_t direction,
                                             uint32_t endpoint, int32_t length,
                                             const std::array<uint8_t, 8>& setup = {},
                                             int32_t packets = 0, uint32_t flags = 0);

  private:
    enum class Read { Ok, Timeout, Closed };
    Read ReadExact(void* into, size_t count, std::chrono::steady_clock::time_point deadline);
    bool ReadDevice(Device* device, std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    uint32_t devid_ = 0;
    std::map<uint32_t, bool> inbound_; // direction of each submit not yet answered
};

} // namespace quillex_test

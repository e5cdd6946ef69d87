// The fixture of the USB/IP export tests: sticks whose emulated controllers
// the export's host side has bound and read, a server on a loopback port of
// its own, and the answers a host expects from a wired controller.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "sim/peers/usbip/host_device.h"
#include "tests/support/usbip_client.h"
#include "tests/support/controller_stack.h"
#include "tools/quillex-sim/usbip/usbip_server.h"

namespace quillex_test {

using Reply = UsbipClient::Reply;
using SetupPacket = std::array<uint8_t, 8>;

inline constexpr uint32_t kRetSubmit = 3;
inline constexpr uint32_t kRetUnlink = 4;
inline constexpr int32_t kStall = -32;
inline constexpr int32_t kUnlinked = -104;
inline constexpr int32_t kShutdown = -108;

inline const std::vector<uint8_t> kDeviceDescriptor0402 = {0x12, 0x01, 0x00, 0x02, 0xFF, 0xFF,
                                                           0xFF, 0x08, 0x6D, 0x04, 0x02, 0x04,
                                                           0x14, 0x40, 0x01, 0x02, 0x03, 0x01};
inline const std::vector<uint8_t> kConfiguration = {
    0x09, 0x02, 0x30, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA, 0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x5D,
    0x01, 0x00, 0x10, 0x21, 0x10, 0x01, 0x01, 0x24, 0x81, 0x14, 0x03, 0x00, 0x03, 0x13, 0x02, 0x00,
    0x03, 0x00, 0x07, 0x05, 0x81, 0x03, 0x20, 0x00, 0x04, 0x07, 0x05, 0x02, 0x03, 0x20, 0x00, 0x08};
inline const std::vector<uint8_t> kProductString = {0x1E, 0x03, 'T', 0, 'o', 0, 'r', 0, 'v', 0,
                                                    'a',  0,    ' ', 0, 'G', 0, 'a', 0, 'l', 0,
                                                    'd',  0,    'r', 0, 'u', 0, 'n', 0, 'e', 0};
// The two fixed reports the first endpoint 1 transfers get after enumeration.
inline const std::vector<uint8_t> kFixedReport0 = {0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0xF5,
                                                   0xF7, 0x16, 0x01, 0x49, 0x0B, 0xAC, 0x0F,
                                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
inline const std::vector<uint8_t> kFixedReport1 = {0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0xF5,
                                                   0xF7, 0x16, 0x01, 0xDC, 0x0A, 0xAC, 0x0F,
                                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

inline const SetupPacket kGetDeviceDescriptor = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
inline const SetupPacket kSetConfiguration1 = {0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};

inline std::vector<uint8_t> Bytes(const XboxReport& report) {
    return std::vector<uint8_t>(report.begin(), report.end());
}

class UsbipExportTest : public XusbStackTest {
  protected:
    struct Exported {
        DeviceId id = 0;
        PDEVICE_CONTEXT context = nullptr;
        std::shared_ptr<sim::usbip::HostDevice> host;
    };

    void SetUp() override {
        stack_.Install(sim::usbip::Package());
        std::string error;
        ASSERT_TRUE(server_.Listen(usbip_server::Endpoint{"127.0.0.1", 0}, &error)) << error;
    }

    void TearDown() override {
        sim::usbip::HostDevice::SetUnlinkPause(nullptr);
        server_.Stop();
        XusbStackTest::TearDown();
        sim::usbip::Forget();
    }

    // A stick whose reader runs and whose emulated controller the host side
    // has read and exports.
    Exported PlugExported(uint16_t productId = 0x0402) {
        Exported e;
        e.id = PlugReadingStick(productId);
        e.context = Context(e.id);
        EXPECT_NE(e.context->XusbPdo, nullptr);
        if (e.context->XusbPdo != nullptr) {
            e.host = sim::usbip::WaitForDevice(WdfDeviceWdmGetDeviceObject(e.context->XusbPdo));
        }
        EXPECT_NE(e.host, nullptr);
        if (e.host != nullptr) {
            EXPECT_TRUE(e.host->WaitReady());
        }
        return e;
    }

    void Connect(UsbipClient* client) { ASSERT_TRUE(client->Connect(server_.Port())); }

    void Import(UsbipClient* client, const std::string& busId) {
        Connect(client);
        ASSERT_EQ(client->Import(busId), 0);
    }

    // Reads the next answer and checks its kind and sequence number.
    static Reply Expect(UsbipClient* client, uint32_t command, uint32_t seqnum) {
        Reply reply;
        EXPECT_TRUE(client->Receive(&reply)) << "no answer for " << seqnum;
        EXPECT_EQ(reply.command, command);
        EXPECT_EQ(reply.seqnum, seqnum);
        return reply;
    }

    static void ExpectData(UsbipClient* client, uint32_t seqnum, int32_t status,
                           const std::vector<uint8_t>& data) {
        Reply reply = Expect(client, kRetSubmit, seqnum);
        EXPECT_EQ(reply.status, status) << "seqnum " << seqnum;
        EXPECT_EQ(reply.actualLength, static_cast<int32_t>(data.size())) << "seqnum " << seqnum;
        EXPECT_EQ(reply.data, data) << "seqnum " << seqnum;
    }

    // Device descriptor and SET_CONFIGURATION, then the two fixed reports, so
    // that the next endpoint 1 transfers wait for real ones.
    void Configure(UsbipClient* client, uint32_t* seqnum) {
        client->Control(++*seqnum, kGetDeviceDescriptor);
        Expect(client, kRetSubmit, *seqnum);
        client->Control(++*seqnum, kSetConfiguration1);
        EXPECT_EQ(Expect(client, kRetSubmit, *seqnum).status, 0);
        for (const auto& fixed : {kFixedReport0, kFixedReport1}) {
            client->Submit(++*seqnum, 1, true, 32);
            ExpectData(client, *seqnum, 0, fixed);
        }
    }

    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> guard(logLock_);
        return log_;
    }
    bool Logged(const std::string& text) {
        for (const std::string& line : Log()) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::mutex logLock_;
    std::vector<std::string> log_;
    usbip_server::Server server_{[this](const std::string& line) {
        std::lock_guard<std::mutex> guard(logLock_);
        log_.push_back(line);
    }};
};

} // namespace quillex_test

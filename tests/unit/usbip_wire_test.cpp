// The USB/IP export's pieces that need no connection: the --usbip address,
// what a host is told of a device, the URB header checks, and how a finished
// URB's Windows status becomes the Linux status a host reads.
#include <gtest/gtest.h>

#include "sim/peers/usbip/host_device.h"
#include "tools/quillex-sim/usbip/usbip_server.h"
#include "tools/quillex-sim/usbip/usbip_wire.h"

namespace {

using usbip_server::Endpoint;

TEST(UsbipEndpoint, ParsesPortAddressAndBracketedIpv6) {
    std::string error;
    Endpoint e;
    ASSERT_TRUE(usbip_server::ParseEndpoint("4000", &e, &error)) << error;
    EXPECT_EQ(e.address, "127.0.0.1");
    EXPECT_EQ(e.port, 4000);
    ASSERT_TRUE(usbip_server::ParseEndpoint("127.0.0.2:0", &e, &error)) << error;
    EXPECT_EQ(e.address, "127.0.0.2");
    EXPECT_EQ(e.port, 0);
    ASSERT_TRUE(usbip_server::ParseEndpoint("[::1]:3240", &e, &error)) << error;
    EXPECT_EQ(e.address, "::1");
    EXPECT_EQ(e.port, 3240);

    for (const char* bad : {"", "65536", "12x", "127.0.0.1:", "localhost:3240", "::1:3240",
                            "[::1]3240", "[::1", "1.2.3.4.5:80", "127.0.0.1:-1"}) {
        Endpoint untouched;
        EXPECT_FALSE(usbip_server::ParseEndpoint(bad, &untouched, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(untouched.port, 3240) << bad;
    }
}

TEST(UsbipEndpoint, OnlyLoopbackAddressesAreThisMachinesAlone) {
    EXPECT_TRUE(usbip_server::IsLoopback("127.0.0.1"));
    EXPECT_TRUE(usbip_server::IsLoopback("127.255.0.9"));
    EXPECT_TRUE(usbip_server::IsLoopback("::1"));
    EXPECT_FALSE(usbip_server::IsLoopback("0.0.0.0"));
    EXPECT_FALSE(usbip_server::IsLoopback("::"));
    EXPECT_FALSE(usbip_server::IsLoopback("192.168.1.4"));
    EXPECT_FALSE(usbip_server::IsLoopback("128.0.0.1"));
    EXPECT_FALSE(usbip_server::IsLoopback("not an address"));
}

const std::vector<uint8_t> kDevice = {0x12, 0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x08, 0x6D,
                                      0x04, 0x03, 0x04, 0x14, 0x40, 0x01, 0x02, 0x03, 0x01};
// A configuration with two interfaces, one of them with an alternate setting.
const std::vector<uint8_t> kTwoInterfaces = {
    0x09, 0x02, 0x24, 0x00, 0x02, 0x07, 0x00, 0x80, 0xFA, // configuration 7
    0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x5D, 0x01, 0x00, // interface 0
    0x09, 0x04, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, // interface 1
    0x09, 0x04, 0x01, 0x01, 0x00, 0x03, 0x01, 0x02, 0x00, // interface 1, alternate 1
};

TEST(UsbipDeviceInfo, ComesFromTheDeviceDescriptorAndEachFirstAlternateSetting) {
    usbip_wire::DeviceInfo info;
    ASSERT_TRUE(usbip_wire::DescribeDevice(kDevice, kTwoInterfaces, &info));
    EXPECT_EQ(info.vendorId, 0x046D);
    EXPECT_EQ(info.productId, 0x0403);
    EXPECT_EQ(info.bcdDevice, 0x4014);
    EXPECT_EQ(info.configurationValue, 7);
    EXPECT_EQ(info.configurationCount, 1);
    ASSERT_EQ(info.interfaceCount, 2);
    ASSERT_EQ(info.interfaces.size(), 2u);
    EXPECT_EQ(info.interfaces[1], (std::array<uint8_t, 3>{0x03, 0x00, 0x00}));

    info.busId = "1-1";
    std::vector<uint8_t> block;
    usbip_wire::PutDevice(&block, info, true);
    ASSERT_EQ(block.size(), usbip_wire::kDeviceBlockLength + 2 * 4);
    EXPECT_EQ(block[256], '1');
    EXPECT_EQ(block[300], 0x04); // idVendor, big-endian
    EXPECT_EQ(block[301], 0x6D);
    EXPECT_EQ(block[311], 2);
    EXPECT_EQ(block[312 + 4], 0x03);
}

TEST(UsbipDeviceInfo, DescriptorsThatDoNotParseAreRefused) {
    usbip_wire::DeviceInfo info;
    std::vector<uint8_t> shortDevice(kDevice.begin(), kDevice.end() - 1);
    EXPECT_FALSE(usbip_wire::DescribeDevice(shortDevice, kTwoInterfaces, &info));
    std::vector<uint8_t> lying = kTwoInterfaces;
    lying[2] = 0x30; // wTotalLength beyond the bytes there are
    EXPECT_FALSE(usbip_wire::DescribeDevice(kDevice, lying, &info));
    std::vector<uint8_t> zeroLength = kTwoInterfaces;
    zeroLength[9] = 0; // a descriptor of length 0 would never end the walk
    EXPECT_FALSE(usbip_wire::DescribeDevice(kDevice, zeroLength, &info));
    std::vector<uint8_t> missing = kTwoInterfaces;
    missing[4] = 3; // says three interfaces, has two
    EXPECT_FALSE(usbip_wire::DescribeDevice(kDevice, missing, &info));
}

TEST(UsbipUrbHeader, SubmitsAreCheckedBeforeAnythingIsRead) {
    usbip_wire::UrbHeader h;
    h.command = usbip_wire::kCmdSubmit;
    h.devid = 0x10001;
    h.direction = 1;
    h.ep = 1;
    h.transferBufferLength = 32;
    EXPECT_EQ(usbip_wire::CheckSubmit(h, 0x10001), "");
    h.numberOfPackets = -1; // what a host sends for a transfer that is not isochronous
    EXPECT_EQ(usbip_wire::CheckSubmit(h, 0x10001), "");
    h.transferBufferLength = usbip_wire::kMaxTransferLength;
    EXPECT_EQ(usbip_wire::CheckSubmit(h, 0x10001), "");
    h.transferBufferLength = usbip_wire::kMaxTransferLength + 1;
    EXPECT_NE(usbip_wire::CheckSubmit(h, 0x10001), "");
    h.transferBufferLength = 32;
    EXPECT_NE(usbip_wire::CheckSubmit(h, 0x10002), "");

    std::vector<uint8_t> bytes;
    h.seqnum = 0x01020304;
    h.setup = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
    usbip_wire::PutUrbHeader(&bytes, h);
    ASSERT_EQ(bytes.size(), usbip_wire::kUrbHeaderLength);
    usbip_wire::UrbHeader back = usbip_wire::GetUrbHeader(bytes.data());
    EXPECT_EQ(back.seqnum, 0x01020304u);
    EXPECT_EQ(back.numberOfPackets, -1);
    EXPECT_EQ(back.setup, h.setup); // the setup packet travels as the bus has it
}

TEST(UsbipAnswers, RetSubmitCarriesStatusLengthAndTheData) {
    std::vector<uint8_t> ret = usbip_wire::RetSubmit(7, -32, 2, {0xAB, 0xCD});
    ASSERT_EQ(ret.size(), 48u + 2);
    EXPECT_EQ(usbip_wire::Get32(&ret[0]), 3u);
    EXPECT_EQ(usbip_wire::Get32(&ret[4]), 7u);
    EXPECT_EQ(usbip_wire::Get32(&ret[20]), 0xFFFFFFE0u); // -32
    EXPECT_EQ(usbip_wire::Get32(&ret[24]), 2u);
    EXPECT_EQ(ret[48], 0xAB);
    std::vector<uint8_t> unlink = usbip_wire::RetUnlink(9, -104);
    ASSERT_EQ(unlink.size(), 48u);
    EXPECT_EQ(usbip_wire::Get32(&unlink[0]), 4u);
    EXPECT_EQ(static_cast<int32_t>(usbip_wire::Get32(&unlink[20])), -104);
}

TEST(UsbipAnswers, WindowsStatusesBecomeLinuxStatuses) {
    using sim::usbip::LinuxStatus;
    // Success, and a short answer that is a short read unless short was not OK.
    EXPECT_EQ(LinuxStatus(STATUS_SUCCESS, USBD_STATUS_SUCCESS, false, false, false), 0);
    EXPECT_EQ(LinuxStatus(STATUS_SUCCESS, USBD_STATUS_DATA_UNDERRUN, false, false, true), 0);
    EXPECT_EQ(LinuxStatus(STATUS_SUCCESS, USBD_STATUS_DATA_UNDERRUN, false, true, true),
              sim::usbip::kErrRemoteIo);
    // Errors of the device and refused requests are stalls.
    EXPECT_EQ(LinuxStatus(STATUS_INVALID_PARAMETER, 0, false, false, false), sim::usbip::kErrPipe);
    EXPECT_EQ(LinuxStatus(STATUS_SUCCESS, USBD_STATUS_STALL_PID, false, false, false),
              sim::usbip::kErrPipe);
    // Cancelled, and gone.
    EXPECT_EQ(LinuxStatus(STATUS_CANCELLED, 0, false, false, false),
              sim::usbip::kErrConnectionReset);
    EXPECT_EQ(LinuxStatus(STATUS_CANCELLED, 0, true, false, false), sim::usbip::kErrShutdown);
    EXPECT_EQ(LinuxStatus(STATUS_DEVICE_DOES_NOT_EXIST, 0, false, false, false),
              sim::usbip::kErrShutdown);
    // A device that went away after answering still delivers its answer.
    EXPECT_EQ(LinuxStatus(STATUS_SUCCESS, USBD_STATUS_SUCCESS, true, false, false), 0);
}

} // namespace

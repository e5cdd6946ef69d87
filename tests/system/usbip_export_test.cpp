// The emulated controllers as a USB/IP server offers them: listed with their
// bus ids and identity, imported by one host at a time.
#include "tests/support/usbip_export.h"

namespace quillex_test {
namespace {

TEST_F(UsbipExportTest, ListsEachStickAndImportsOneHostPerDevice) {
    PlugExported(0x0402);
    PlugExported(0x0403);

    UsbipClient list;
    Connect(&list);
    std::vector<UsbipClient::Device> devices;
    ASSERT_TRUE(list.ListDevices(&devices));
    ASSERT_EQ(devices.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const UsbipClient::Device& d = devices[i];
        EXPECT_EQ(d.busId, "1-" + std::to_string(i + 1));
        EXPECT_EQ(d.busNumber, 1u);
        EXPECT_EQ(d.deviceNumber, i + 1);
        EXPECT_EQ(d.speed, 2u); // full speed
        EXPECT_EQ(d.vendorId, 0x046D);
        EXPECT_EQ(d.productId, i == 0 ? 0x0402 : 0x0403);
        EXPECT_EQ(d.bcdDevice, 0x4014);
        EXPECT_EQ(d.deviceClass, 0xFF);
        EXPECT_EQ(d.deviceSubClass, 0xFF);
        EXPECT_EQ(d.deviceProtocol, 0xFF);
        EXPECT_EQ(d.configurationValue, 1);
        EXPECT_EQ(d.configurationCount, 1);
        ASSERT_EQ(d.interfaceCount, 1);
        ASSERT_EQ(d.interfaces.size(), 1u);
        EXPECT_EQ(d.interfaces[0], (std::array<uint8_t, 3>{0xFF, 0x5D, 0x01}));
        EXPECT_NE(d.path.find(d.busId), std::string::npos);
    }
    EXPECT_TRUE(list.WaitClosed()); // a device list ends its connection

    UsbipClient first, second, unknown;
    Connect(&first);
    UsbipClient::Device imported;
    ASSERT_EQ(first.Import("1-2", &imported), 0);
    EXPECT_EQ(imported.busId, "1-2");
    EXPECT_EQ(imported.productId, 0x0403);
    EXPECT_EQ(first.Devid(), (1u << 16) | 2u);
    // One host at a time; an unknown bus id is refused the same way.
    Connect(&second);
    EXPECT_EQ(second.Import("1-2"), 1);
    EXPECT_TRUE(second.WaitClosed());
    Connect(&unknown);
    EXPECT_EQ(unknown.Import("1-9"), 1);
    EXPECT_TRUE(unknown.WaitClosed());
    EXPECT_TRUE(Logged("import of 1-2: already imported"));
    EXPECT_TRUE(Logged("import of 1-9: no such device"));
}

} // namespace
} // namespace quillex_test

// The class driver's requests to the emulated controller in the whole stack:
// staged answers and their exhaustion, select configuration, the internal
// control codes and the USB bus interface.
#include <gtest/gtest.h>

#include "tests/support/xusb_child.h"
#include "tests/support/controller_stack.h"

namespace quillex_test {
namespace {

using Bytes = std::vector<uint8_t>;

class XusbRequestTest : public XusbStackTest {
  protected:
    void SetUp() override {
        sim::xbox::Options options;
        options.transfers = 0;
        options.startLed = -1;
        InstallClassDriver(options);
        p_ = PlugWithController();
        ASSERT_NE(p_.controller, nullptr);
    }

    // A descriptor request of 'length' bytes: what came back, its status and
    // the URB's USBD status.
    struct Answer {
        NTSTATUS status;
        USBD_STATUS usbd;
        Bytes data;
    };
    Answer Descriptor(UCHAR type, ULONG length, KIRQL irql = PASSIVE_LEVEL) {
        Bytes buffer(length, 0xEE);
        URB urb;
        BuildDescriptorRequest(&urb, type, buffer.data(), length);
        NTSTATUS status = p_.controller->SubmitUrb(&urb, irql);
        return Answer{status, urb.UrbHeader.Status, buffer};
    }
    Answer Vendor(ULONG length) {
        Bytes buffer(length, 0xEE);
        const UCHAR setup[8] = {0x40, 0x09, 0, 0, 0, 0, 0, 0}; // host to device: still a stage
        URB urb;
        BuildControlTransfer(&urb, setup, buffer.data(), length);
        NTSTATUS status = p_.controller->SubmitUrb(&urb);
        return Answer{status, urb.UrbHeader.Status, buffer};
    }

    Plugged p_;
};

TEST_F(XusbRequestTest, StagedAnswersRunOutAndADeviceDescriptorRequestStartsThemAgain) {
    // Enumeration took the first two configuration stages, both string stages
    // and all three control stages.
    Answer third = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, DISPATCH_LEVEL);
    EXPECT_EQ(third.status, STATUS_SUCCESS);
    EXPECT_EQ(third.usbd, USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(Bytes(third.data.begin(), third.data.begin() + 3), (Bytes{0x00, 0x00, 0xEE}));
    Answer spent = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
    EXPECT_EQ(spent.status, STATUS_SUCCESS);
    EXPECT_EQ(spent.data, Bytes(9, 0xEE));
    EXPECT_TRUE(trace_.Contains("Unexpected State 3 for USB_CONFIGURATION_DESCRIPTOR\n"));
    EXPECT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 64).data, Bytes(64, 0xEE));
    EXPECT_TRUE(trace_.Contains("Unexpected State 2 for USB_STRING_DESCRIPTOR\n"));
    Answer vendor = Vendor(20);
    EXPECT_EQ(vendor.status, STATUS_SUCCESS);
    EXPECT_EQ(vendor.data, Bytes(20, 0xEE));
    EXPECT_TRUE(trace_.Contains("Unexpected State 3 for VENDOR CONTROL_TRANSFER\n"));
    EXPECT_EQ(Descriptor(0x04, 9).status, STATUS_INVALID_PARAMETER);

    // A device descriptor too short for it changes nothing.
    Answer tooShort = Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 17);
    EXPECT_EQ(tooShort.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooShort.data, Bytes(17, 0xEE));
    EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 48).data, Bytes(48, 0xEE));

    // A whole one starts every sequence again; a short buffer still uses up
    // its stage.
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18).status, STATUS_SUCCESS);
    EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9).data,
              (Bytes{0x09, 0x02, 0x30, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA}));
    Answer shortSecond = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
    EXPECT_EQ(shortSecond.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(shortSecond.data, Bytes(9, 0xEE));
    EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9).usbd, USBD_STATUS_DATA_UNDERRUN);
    Answer header = Descriptor(USB_STRING_DESCRIPTOR_TYPE, 2);
    EXPECT_EQ(header.data, (Bytes{0x1E, 0x03}));
    EXPECT_EQ(header.usbd, USBD_STATUS_DATA_UNDERRUN);
    Answer product = Descriptor(USB_STRING_DESCRIPTOR_TYPE, 30);
    EXPECT_EQ(product.data[0], 0x1E);
    EXPECT_EQ(product.data[2], 'T');
    EXPECT_EQ(Vendor(20).data[1], 0x14);
    EXPECT_EQ(Vendor(8).data, (Bytes{0x00, 0x08, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Vendor(4).data, (Bytes{0xCB, 0xDE, 0x3E, 0xCC}));
}

TEST_F(XusbRequestTest, SelectConfigurationFillsBothPipesOrRefusesWhatDoesNotMatch) {
    std::vector<uint8_t> configuration = p_.controller->Configuration();
    auto select = [&](ULONG pipes, UCHAR interfaceNumber) {
        size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2);
        std::vector<uint8_t> storage(std::max(size, sizeof(URB)), 0);
        auto* urb = reinterpret_cast<PURB>(storage.data());
        UsbBuildSelectConfigurationRequest(
            urb, static_cast<USHORT>(size),
            reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data()));
        urb->UrbSelectConfiguration.Interface.Length =
            static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(2));
        urb->UrbSelectConfiguration.Interface.InterfaceNumber = interfaceNumber;
        urb->UrbSelectConfiguration.Interface.NumberOfPipes = pipes;
        for (ULONG i = 0; i < 2; ++i) {
            urb->UrbSelectConfiguration.Interface.Pipes[i].MaximumTransferSize = 4096;
        }
        NTSTATUS status = p_.controller->SubmitUrb(urb, DISPATCH_LEVEL);
        return std::make_pair(status, storage);
    };
    auto [status, storage] = select(2, 0);
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto* urb = reinterpret_cast<PURB>(storage.data());
    const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle,
              reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0xDEADBEEF));
    EXPECT_EQ(info.InterfaceHandle, reinterpret_cast<USBD_INTERFACE_HANDLE>(0xDEADBEEF));
    EXPECT_EQ(info.Class, 0xFF);
    EXPECT_EQ(info.SubClass, 0x5D);
    EXPECT_EQ(info.Protocol, 0x01);
    EXPECT_EQ(info.Pipes[0].PipeHandle, reinterpret_cast<USBD_PIPE_HANDLE>(0x30481));
    EXPECT_EQ(info.Pipes[1].PipeHandle, reinterpret_cast<USBD_PIPE_HANDLE>(0x30802));
    EXPECT_EQ(info.Pipes[1].MaximumTransferSize, 4096u); // left as the sender set it

    EXPECT_EQ(select(1, 0).first, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(trace_.Contains("ERROR unmatched number of pipes"));
    EXPECT_EQ(select(2, 1).first, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(trace_.Contains("ERROR no matching USB_INTERFACE_DESCRIPTOR found"));
}

TEST_F(XusbRequestTest, InternalControlCodesAnswerAsTheirTableSays) {
    ULONG_PTR information = 0;
    EXPECT_EQ(
        p_.controller->SendInternalIoctl(IOCTL_INTERNAL_USB_RESET_PORT, nullptr, &information),
        STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_TRUE(trace_.Contains(
        "Quillex!HandleXusbPdoInternalIrp: IOCTL_INTERNAL_USB_RESET_PORT (*****)\n"));
    ULONG portStatus = 0;
    EXPECT_EQ(p_.controller->SendInternalIoctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus,
                                               &information, DISPATCH_LEVEL),
              STATUS_SUCCESS);
    EXPECT_EQ(portStatus, 3u);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(p_.controller->SendInternalIoctl(0x220FFF, &portStatus), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(trace_.Contains("Ioctrl code 220fff not handled.\n"));
    // A URB request without its URB comes back refused, not stranded.
    EXPECT_EQ(p_.controller->SendInternalIoctl(IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr),
              STATUS_INVALID_PARAMETER);

    // Functions without a handler of their own succeed doing nothing.
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_GET_CURRENT_FRAME_NUMBER);
    urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    EXPECT_EQ(p_.controller->SubmitUrb(&urb), STATUS_SUCCESS);
    EXPECT_TRUE(trace_.Contains("Quillex!HandleXusbPdoURB: URB Not handled 0x7 \n"));
}

TEST_F(XusbRequestTest, TheBusInterfaceComesInVersions0And1OnlyAndOnlyWhenItFits) {
    USB_BUS_INTERFACE_USBDI_V1 bus;
    auto query = [&](USHORT size, USHORT version, const GUID& type = USB_BUS_INTERFACE_USBDI_GUID) {
        memset(&bus, 0xAB, sizeof(bus));
        return p_.controller->QueryInterface(type, size, version,
                                             reinterpret_cast<PINTERFACE>(&bus));
    };
    ASSERT_EQ(query(64, 0), STATUS_SUCCESS);
    EXPECT_EQ(bus.Size, 64);
    EXPECT_EQ(bus.Version, 0);
    EXPECT_EQ(bus.BusContext, p_.child);
    EXPECT_NE(bus.QueryBusInformation, nullptr);
    // A version 0 record ends before IsDeviceHighSpeed: it stays as it was.
    USB_BUS_INTERFACE_USBDI_V1 untouched;
    memset(&untouched, 0xAB, sizeof(untouched));
    EXPECT_EQ(bus.IsDeviceHighSpeed, untouched.IsDeviceHighSpeed);

    ASSERT_EQ(query(80, 1), STATUS_SUCCESS);
    EXPECT_EQ(bus.Size, 72); // the table's size, not the caller's
    EXPECT_EQ(bus.Version, 1);
    EXPECT_FALSE(bus.IsDeviceHighSpeed(bus.BusContext));
    ULONG frame = 0x1234;
    EXPECT_EQ(bus.QueryBusTime(bus.BusContext, &frame), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(frame, 0x1234u);

    EXPECT_EQ(query(71, 1), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(trace_.Contains("Size of interface too small 1"));
    EXPECT_EQ(query(63, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(query(80, 2), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(trace_.Contains("Interface version not supported: 2"));
    // Someone else's interface: the request keeps the status it was sent with.
    const GUID other = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(query(80, 1, other), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(trace_.Contains("Unknown interface GUID\n"));
}

} // namespace
} // namespace quillex_test

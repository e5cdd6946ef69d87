// The USB driver library: parsing and validating configuration descriptor
// sets, always within the given length, and building select-configuration
// requests.
#include <gtest/gtest.h>

#include <vector>

#include "ntddk.h"
#include "sim/kernel/thread_state.h"
#include "usbdlib.h"

namespace {

// A configuration with one vendor interface, a class-specific descriptor and
// two interrupt endpoints.
const std::vector<UCHAR> kConfig = {
    0x09, 0x02, 0x30, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA,                   // configuration
    0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x5D, 0x01, 0x00,                   // interface 0
    0x10, 0x21, 0x10, 0x01, 0x01, 0x24, 0x81, 0x14, 0x03, 0x00, 0x03, 0x13, //
    0x02, 0x00, 0x03, 0x00,                                                 // class-specific
    0x07, 0x05, 0x81, 0x03, 0x20, 0x00, 0x04,                               // endpoint 1 IN
    0x07, 0x05, 0x02, 0x03, 0x20, 0x00, 0x08,                               // endpoint 2 OUT
};

struct Bytes {
    std::vector<UCHAR> data;
    explicit Bytes(std::vector<UCHAR> d = kConfig) : data(std::move(d)) {}
    PUSB_CONFIGURATION_DESCRIPTOR Config() {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data.data());
    }
    USBD_STATUS Validate(USHORT level, size_t* offset, ULONG length = 0) {
        PUCHAR where = nullptr;
        USBD_STATUS status = USBD_ValidateConfigurationDescriptor(
            Config(), length != 0 ? length : static_cast<ULONG>(data.size()), level, &where,
            'tseT');
        *offset = where != nullptr ? static_cast<size_t>(where - data.data()) : SIZE_MAX;
        return status;
    }
};

TEST(Usbd, ParseDescriptorsFindsEachEndpointInTurn) {
    Bytes b;
    UCHAR* base = b.data.data();
    auto* first = USBD_ParseDescriptors(base, 48, base + 9, USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_EQ(reinterpret_cast<UCHAR*>(first), base + 34);
    auto* second =
        USBD_ParseDescriptors(base, 48, base + 34 + first->bLength, USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_EQ(reinterpret_cast<UCHAR*>(second), base + 41);
    EXPECT_EQ(USBD_ParseDescriptors(base, 48, base + 48, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(base, 48, base + 9, USB_STRING_DESCRIPTOR_TYPE), nullptr);
    // A start outside the buffer finds nothing.
    EXPECT_EQ(USBD_ParseDescriptors(base + 9, 39, base, USB_CONFIGURATION_DESCRIPTOR_TYPE),
              nullptr);
}

TEST(Usbd, ParseDescriptorsNeverReadsPastTheGivenLength) {
    Bytes b;
    UCHAR* base = b.data.data();
    // The second endpoint's last byte lies past a length of 47: it is not returned.
    EXPECT_EQ(USBD_ParseDescriptors(base, 47, base + 41, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
    // A descriptor whose bLength reaches past the end ends the walk.
    b.data[34] = 0x40;
    EXPECT_EQ(USBD_ParseDescriptors(base, 48, base + 9, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
    // A zero bLength would never advance: it ends the walk too.
    b.data[34] = 0x00;
    EXPECT_EQ(USBD_ParseDescriptors(base, 48, base + 9, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
}

TEST(Usbd, ParseConfigurationDescriptorMatchesEveryCriterionGiven) {
    Bytes b;
    UCHAR* base = b.data.data();
    auto* found = USBD_ParseConfigurationDescriptorEx(b.Config(), base, 0, 0, -1, -1, -1);
    ASSERT_EQ(reinterpret_cast<UCHAR*>(found), base + 9);
    EXPECT_EQ(found->bNumEndpoints, 2);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(b.Config(), base, 0, 0, 0xFF, 0x5D, 0x01), found);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(b.Config(), base, 1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(b.Config(), base, 0, 1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(b.Config(), base, -1, -1, 3, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(b.Config(), base + 10, 0, 0, -1, -1, -1),
              nullptr);
    // wTotalLength bounds the search: an all-zero buffer holds nothing.
    Bytes zeros(std::vector<UCHAR>(48, 0));
    EXPECT_EQ(
        USBD_ParseConfigurationDescriptorEx(zeros.Config(), zeros.data.data(), 0, 0, -1, -1, -1),
        nullptr);
    b.data[2] = 17; // the interface descriptor no longer fits in the total length
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(b.Config(), base, 0, 0, -1, -1, -1), nullptr);
}

TEST(Usbd, ValidationAcceptsAWellFormedSetAtEveryLevel) {
    Bytes b;
    size_t offset;
    for (USHORT level = 1; level <= 3; ++level) {
        EXPECT_EQ(b.Validate(level, &offset), USBD_STATUS_SUCCESS) << "level " << level;
        EXPECT_EQ(offset, SIZE_MAX);
    }
    EXPECT_EQ(b.Validate(4, &offset), USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(USBD_ValidateConfigurationDescriptor(nullptr, 48, 2, nullptr, 0),
              USBD_STATUS_INVALID_PARAMETER);
}

struct Corruption {
    const char* what;
    size_t at;
    UCHAR value;
    USHORT level;
    USBD_STATUS status;
    size_t offset;
};

TEST(Usbd, ValidationNamesTheOffendingByte) {
    const Corruption cases[] = {
        {"configuration bLength", 0, 0x08, 1, USBD_STATUS_BAD_DESCRIPTOR_BLEN, 0},
        {"configuration type", 1, 0x04, 1, USBD_STATUS_BAD_DESCRIPTOR_TYPE, 1},
        {"total beyond the buffer", 2, 0x31, 1, USBD_STATUS_BAD_CONFIG_DESC_LENGTH, 2},
        {"no interfaces", 4, 0x00, 1, USBD_STATUS_BAD_NUMBER_OF_INTERFACES, 4},
        {"descriptor past the end", 41, 0x08, 2, USBD_STATUS_BAD_DESCRIPTOR_BLEN, 41},
        {"zero-length descriptor", 18, 0x00, 2, USBD_STATUS_BAD_DESCRIPTOR_BLEN, 18},
        {"short interface", 9, 0x08, 2, USBD_STATUS_BAD_INTERFACE_DESCRIPTOR, 9},
        {"endpoint count", 13, 0x03, 2, USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS, 13},
        {"interface count", 4, 0x02, 2, USBD_STATUS_BAD_NUMBER_OF_INTERFACES, 4},
        {"endpoint zero", 36, 0x80, 3, USBD_STATUS_BAD_ENDPOINT_ADDRESS, 36},
        {"duplicate endpoint", 43, 0x81, 3, USBD_STATUS_BAD_ENDPOINT_ADDRESS, 43},
    };
    for (const Corruption& c : cases) {
        Bytes b;
        b.data[c.at] = c.value;
        size_t offset;
        EXPECT_EQ(b.Validate(c.level, &offset), c.status) << c.what;
        EXPECT_EQ(offset, c.offset) << c.what;
    }
    // Level 1 does not look past the configuration descriptor.
    Bytes b;
    b.data[41] = 0x08;
    size_t offset;
    EXPECT_EQ(b.Validate(1, &offset), USBD_STATUS_SUCCESS);
    // A buffer shorter than a configuration descriptor.
    EXPECT_EQ(b.Validate(1, &offset, 8), USBD_STATUS_BAD_CONFIG_DESC_LENGTH);
}

TEST(Usbd, CreateConfigurationRequestLaysOutEveryInterfaceWithItsPipes) {
    Bytes b;
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(b.Config(), b.data.data(), 0, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(b.Config(), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, b.Config());
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[0].Interface->Pipes[0].MaximumTransferSize,
              ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
    ExFreePool(urb);
    USBD_INTERFACE_LIST_ENTRY empty[1] = {};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(b.Config(), empty), nullptr);
}

// Each routine is allowed up to the IRQL it is documented for; above it the
// verifier stops the program, as Driver Verifier would.
TEST(UsbdDeathTest, RoutinesCalledAboveTheirIrqlStop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Bytes bytes;
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(bytes.Config(), bytes.Config(), -1, -1, -1, -1, -1),
         nullptr},
        {nullptr, nullptr}};
    {
        sim::kernel::ScopedIrql dispatch(DISPATCH_LEVEL); // allowed for these two
        EXPECT_NE(USBD_ParseDescriptors(bytes.Config(), 48, bytes.Config(), 5), nullptr);
        PURB urb = USBD_CreateConfigurationRequestEx(bytes.Config(), list);
        ASSERT_NE(urb, nullptr);
        ExFreePool(urb);
    }
    EXPECT_DEATH(
        {
            sim::kernel::ScopedIrql apc(APC_LEVEL);
            size_t offset;
            bytes.Validate(2, &offset);
        },
        "QUILLEX VERIFIER STOP: service called above its IRQL.*\n.*"
        "USBD_ValidateConfigurationDescriptor");
    EXPECT_DEATH(
        {
            sim::kernel::ScopedIrql dispatch(DISPATCH_LEVEL);
            USBD_ParseConfigurationDescriptorEx(bytes.Config(), bytes.Config(), 0, 0, -1, -1, -1);
        },
        "QUILLEX VERIFIER STOP: service called above its IRQL.*\n.*"
        "USBD_ParseConfigurationDescriptorEx");
    EXPECT_DEATH(
        {
            sim::kernel::ScopedIrql high(DISPATCH_LEVEL + 1);
            USBD_ParseDescriptors(bytes.Config(), 48, bytes.Config(), 5);
        },
        "QUILLEX VERIFIER STOP: service called above its IRQL.*\n.*USBD_ParseDescriptors");
}

} // namespace

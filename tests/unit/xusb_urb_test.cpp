// The emulated controller's control side: the internal request dispatcher,
// URB dispatch, descriptors and their staged answers, configuration, vendor
// control transfers and the USB bus interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "sim/core/fault.h"
#include "sim/core/trace_sink.h"
#include "sim/kernel/thread_state.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/xusb_child.h"
#include "xusb/staged_response.h"
#include "xusb/urb_dispatch.h"

namespace {

using namespace quillex_test;
using Bytes = std::vector<UCHAR>;

const Bytes kDeviceDescriptor = {0x12, 0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x08, 0x6D,
                                 0x04, 0x02, 0x04, 0x14, 0x40, 0x01, 0x02, 0x03, 0x01};
const Bytes kConfigHeader = {0x09, 0x02, 0x30, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA};
const Bytes kConfig = {0x09, 0x02, 0x30, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA, 0x09, 0x04, 0x00,
                       0x00, 0x02, 0xFF, 0x5D, 0x01, 0x00, 0x10, 0x21, 0x10, 0x01, 0x01, 0x24,
                       0x81, 0x14, 0x03, 0x00, 0x03, 0x13, 0x02, 0x00, 0x03, 0x00, 0x07, 0x05,
                       0x81, 0x03, 0x20, 0x00, 0x04, 0x07, 0x05, 0x02, 0x03, 0x20, 0x00, 0x08};
const Bytes kProductString = {0x1E, 0x03, 'T', 0, 'o', 0, 'r', 0, 'v', 0, 'a', 0, ' ', 0, 'G', 0,
                              'a',  0,    'l', 0, 'd', 0, 'r', 0, 'u', 0, 'n', 0, 'e', 0};
const Bytes kVendor0 = {0x00, 0x14, 0xFF, 0xF7, 0xFF, 0xFF, 0xC0, 0xFF, 0xC0, 0xFF,
                        0xC0, 0xFF, 0xC0, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kVendor1 = {0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kVendor2 = {0xCB, 0xDE, 0x3E, 0xCC};
const UCHAR kVendorSetup[8] = {0xC1, 0x01, 0x00, 0x01, 0x00, 0x00, 0x14, 0x00};
const UCHAR kStandardSetup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};

class XusbControlTest : public DriverTest {
  protected:
    void SetUp() override { ASSERT_EQ(child_.InitStatus(), STATUS_SUCCESS); }

    // Sends a descriptor request with a buffer of 'length' bytes (0xEE filled);
    // returns the IRP's status and leaves the bytes in *out.
    NTSTATUS Descriptor(UCHAR type, ULONG length, Bytes* out = nullptr) {
        Bytes buffer(length, 0xEE);
        BuildDescriptorRequest(&irp_.urb, type, buffer.data(), length);
        NTSTATUS status = irp_.Send(child_);
        EXPECT_EQ(irp_.Completions(), 1);
        EXPECT_EQ(status, irp_.Status());
        if (out != nullptr) {
            *out = buffer;
        }
        return status;
    }
    NTSTATUS Control(const UCHAR (&setup)[8], ULONG length, Bytes* out) {
        Bytes buffer(length, 0xEE);
        BuildControlTransfer(&irp_.urb, setup, buffer.data(), length);
        NTSTATUS status = irp_.Send(child_);
        EXPECT_EQ(irp_.Completions(), 1);
        *out = buffer;
        return status;
    }
    static Bytes Head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + n); }
    static bool Untouched(const Bytes& b) {
        return std::all_of(b.begin(), b.end(), [](UCHAR c) { return c == 0xEE; });
    }

    XusbChild child_{1, 0x0402};
    ClassIrp irp_;
};

TEST_F(XusbControlTest, DeviceDescriptorCarriesTheSticksProductIdAndResetsTheStages) {
    Bytes out;
    EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9), STATUS_SUCCESS);
    EXPECT_EQ(child_.Data()->ConfigDescriptorState, 1);
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 32, &out), STATUS_SUCCESS);
    EXPECT_EQ(Head(out, 18), kDeviceDescriptor);
    EXPECT_EQ(out[18], 0xEE); // nothing past the descriptor
    EXPECT_EQ(irp_.Information(), 0u);
    EXPECT_EQ(child_.Data()->ConfigDescriptorState, 0);

    // Too small a buffer: refused before anything is written or reset.
    EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9), STATUS_SUCCESS);
    sim::trace::Capture trace;
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 17, &out), STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(Untouched(out));
    EXPECT_EQ(child_.Data()->ConfigDescriptorState, 1);
    EXPECT_TRUE(trace.Contains("XboxControllerGetDescriptorFromDevice Sizing Error!!! for "
                               "USB_DEVICE_DESCRIPTOR\n"));
}

TEST_F(XusbControlTest, ConfigurationRequestsGetTheirStagesInOrderUntilTheTableEnds) {
    Bytes out;
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    for (int round = 0; round < 2; ++round) { // a device-descriptor request starts again
        EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 64, &out), STATUS_SUCCESS);
        EXPECT_EQ(Head(out, 9), kConfigHeader);
        EXPECT_EQ(out[9], 0xEE);
        EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 64, &out), STATUS_SUCCESS);
        EXPECT_EQ(Head(out, 48), kConfig);
        EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 64, &out), STATUS_SUCCESS);
        EXPECT_EQ(Head(out, 3), (Bytes{0x00, 0x00, 0xEE}));
        EXPECT_EQ(irp_.urb.UrbHeader.Status, USBD_STATUS_DATA_UNDERRUN);
        for (int extra = 0; extra < 2; ++extra) {
            sim::trace::Capture trace;
            EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 64, &out), STATUS_SUCCESS);
            EXPECT_TRUE(Untouched(out));
            EXPECT_EQ(irp_.urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
            EXPECT_TRUE(trace.Contains("Unexpected State 3 for USB_CONFIGURATION_DESCRIPTOR\n"));
        }
        ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    }
}

TEST_F(XusbControlTest, AShortBufferConsumesItsStageWithoutData) {
    Bytes out;
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, &out), STATUS_SUCCESS);
    sim::trace::Capture trace;
    EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, &out), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Untouched(out));
    EXPECT_TRUE(trace.Contains("ERROR Unexpected Transfer Buffer Size in "
                               "USB_CONFIGURATION_DESCRIPTOR: 9, State 1, Expected Size 30\n"));
    EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, &out), STATUS_SUCCESS);
    EXPECT_EQ(Head(out, 2), (Bytes{0x00, 0x00}));
}

TEST_F(XusbControlTest, StringRequestsGetTheHeaderThenTheProductStringWhateverTheyAsk) {
    Bytes out;
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    Bytes buffer(64, 0xEE);
    BuildDescriptorRequest(&irp_.urb, USB_STRING_DESCRIPTOR_TYPE, buffer.data(), 64);
    irp_.urb.UrbControlDescriptorRequest.Index = 7;
    irp_.urb.UrbControlDescriptorRequest.LanguageId = 0x0407;
    EXPECT_EQ(irp_.Send(child_), STATUS_SUCCESS);
    EXPECT_EQ(Head(buffer, 3), (Bytes{0x1E, 0x03, 0xEE}));
    EXPECT_EQ(irp_.urb.UrbHeader.Status, USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 64, &out), STATUS_SUCCESS);
    EXPECT_EQ(Head(out, 30), kProductString);
    EXPECT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 64, &out), STATUS_SUCCESS);
    EXPECT_TRUE(Untouched(out));

    sim::trace::Capture trace;
    EXPECT_EQ(Descriptor(0x22, 64, &out), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(trace.Contains("URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE State 0x22\n"));
}

TEST_F(XusbControlTest, ControlTransfersGetTheVendorStagesWhateverTheSetupPacket) {
    Bytes out;
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    sim::trace::Capture trace;
    EXPECT_EQ(Control(kVendorSetup, 20, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, kVendor0);
    EXPECT_TRUE(trace.Contains("Vendor Packet\n"));
    EXPECT_TRUE(trace.Contains("c1,"));
    trace.Clear();
    EXPECT_EQ(Control(kStandardSetup, 20, &out), STATUS_SUCCESS);
    EXPECT_EQ(Head(out, 8), kVendor1);
    EXPECT_FALSE(trace.Contains("Vendor Packet\n"));
    EXPECT_EQ(Control(kVendorSetup, 20, &out), STATUS_SUCCESS);
    EXPECT_EQ(Head(out, 4), kVendor2);
    EXPECT_EQ(Control(kVendorSetup, 20, &out), STATUS_SUCCESS);
    EXPECT_TRUE(Untouched(out));
    EXPECT_TRUE(trace.Contains("Unexpected State 3 for VENDOR CONTROL_TRANSFER\n"));
}

// As a USB stack does, each IN request comes back with the number of bytes
// actually written in TransferBufferLength and a USBD status that matches its
// IRP's (or the one its stage carries), never the buffer size it was sent with.
TEST_F(XusbControlTest, EveryAnswerReportsTheBytesWrittenAndItsUsbdStatus) {
    struct Step {
        UCHAR type; // descriptor type, or 0 for a vendor control transfer
        ULONG buffer;
        NTSTATUS status;
        ULONG written;
        USBD_STATUS usbd;
    };
    const Step steps[] = {
        {USB_DEVICE_DESCRIPTOR_TYPE, 64, STATUS_SUCCESS, 18, USBD_STATUS_SUCCESS},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 255, STATUS_SUCCESS, 9, USBD_STATUS_SUCCESS},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 255, STATUS_SUCCESS, 48, USBD_STATUS_SUCCESS},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 255, STATUS_SUCCESS, 2, USBD_STATUS_DATA_UNDERRUN},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 255, STATUS_SUCCESS, 0, USBD_STATUS_SUCCESS},
        {USB_STRING_DESCRIPTOR_TYPE, 255, STATUS_SUCCESS, 2, USBD_STATUS_DATA_UNDERRUN},
        {USB_STRING_DESCRIPTOR_TYPE, 255, STATUS_SUCCESS, 30, USBD_STATUS_SUCCESS},
        {0, 64, STATUS_SUCCESS, 20, USBD_STATUS_SUCCESS},
        {0, 64, STATUS_SUCCESS, 8, USBD_STATUS_SUCCESS},
        {0, 3, STATUS_INVALID_PARAMETER, 0, USBD_STATUS_INVALID_PARAMETER}, // 4 bytes due
        {0, 64, STATUS_SUCCESS, 0, USBD_STATUS_SUCCESS},                    // table ended
        {USB_DEVICE_DESCRIPTOR_TYPE, 17, STATUS_BUFFER_TOO_SMALL, 0, USBD_STATUS_BUFFER_TOO_SMALL},
        {USB_INTERFACE_DESCRIPTOR_TYPE, 64, STATUS_INVALID_PARAMETER, 0,
         USBD_STATUS_INVALID_PARAMETER},
    };
    for (const Step& step : steps) {
        Bytes out;
        NTSTATUS status;
        if (step.type == 0) {
            status = Control(kVendorSetup, step.buffer, &out);
        } else {
            status = Descriptor(step.type, step.buffer, &out);
        }
        SCOPED_TRACE(testing::Message() << "type " << int(step.type) << ", " << step.buffer
                                        << " bytes, " << step.written << " written");
        EXPECT_EQ(status, step.status);
        EXPECT_EQ(irp_.urb.UrbControlTransfer.TransferBufferLength, step.written);
        EXPECT_EQ(irp_.urb.UrbHeader.Status, step.usbd);
        EXPECT_TRUE(Untouched(Bytes(out.begin() + step.written, out.end())));
    }
}

TEST_F(XusbControlTest, AControlTransferWithoutAnyBufferFailsAndConsumesNoStage) {
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    BuildControlTransfer(&irp_.urb, kVendorSetup, nullptr, 20);
    EXPECT_EQ(irp_.Send(child_), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(irp_.Status(), STATUS_INVALID_DEVICE_REQUEST);
    Bytes out;
    EXPECT_EQ(Control(kVendorSetup, 20, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, kVendor0); // still the first stage
}

// Requests that carry only an MDL are served through it, the descriptor
// requests as well as the control transfers.
TEST_F(XusbControlTest, RequestsWithOnlyAnMdlAreServedThroughIt) {
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    Bytes locked(48, 0xEE);
    PMDL lockedMdl = IoAllocateMdl(locked.data(), 48, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(lockedMdl, KernelMode, IoWriteAccess); // locked, not yet mapped
    BuildDescriptorRequest(&irp_.urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, nullptr, 48, lockedMdl);
    EXPECT_EQ(irp_.Send(child_), STATUS_SUCCESS);
    EXPECT_EQ(Head(locked, 9), kConfigHeader);
    EXPECT_TRUE(lockedMdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);

    Bytes nonpaged(18, 0xEE);
    PMDL nonpagedMdl = IoAllocateMdl(nonpaged.data(), 18, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(nonpagedMdl);
    BuildDescriptorRequest(&irp_.urb, USB_DEVICE_DESCRIPTOR_TYPE, nullptr, 18, nonpagedMdl);
    EXPECT_EQ(irp_.Send(child_), STATUS_SUCCESS);
    EXPECT_EQ(nonpaged, kDeviceDescriptor);

    Bytes control(20, 0xEE);
    PMDL controlMdl = IoAllocateMdl(control.data(), 20, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(controlMdl);
    BuildControlTransfer(&irp_.urb, kVendorSetup, nullptr, 20, controlMdl);
    EXPECT_EQ(irp_.Send(child_), STATUS_SUCCESS);
    EXPECT_EQ(control, kVendor0);

    MmUnlockPages(lockedMdl);
    IoFreeMdl(lockedMdl);
    IoFreeMdl(nonpagedMdl);
    IoFreeMdl(controlMdl);
}

TEST_F(XusbControlTest, AnMdlIsNeverWrittenPastWhatItDescribes) {
    Bytes storage(18, 0xEE);
    PMDL mdl = IoAllocateMdl(storage.data(), 17, FALSE, FALSE, nullptr); // one byte short
    MmBuildMdlForNonPagedPool(mdl);
    BuildDescriptorRequest(&irp_.urb, USB_DEVICE_DESCRIPTOR_TYPE, nullptr, 18, mdl);
    EXPECT_EQ(irp_.Send(child_), STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(Untouched(storage));

    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    BuildDescriptorRequest(&irp_.urb, USB_STRING_DESCRIPTOR_TYPE, nullptr, 64, mdl);
    EXPECT_EQ(irp_.Send(child_), STATUS_SUCCESS);           // the 2-byte stage fits
    EXPECT_EQ(irp_.Send(child_), STATUS_INVALID_PARAMETER); // the 30-byte stage does not
    EXPECT_EQ(storage[2], 0xEE);
    IoFreeMdl(mdl);
}

TEST_F(XusbControlTest, AnMdlThatCannotBeMappedFailsTheRequest) {
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    Bytes storage(48, 0xEE);
    PMDL mdl = IoAllocateMdl(storage.data(), 48, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    sim::fault::FailNthCall("MmMapLockedPagesSpecifyCache", 1, STATUS_INSUFFICIENT_RESOURCES);
    BuildDescriptorRequest(&irp_.urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, nullptr, 48, mdl);
    EXPECT_EQ(irp_.Send(child_), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(Untouched(storage));
    EXPECT_EQ(child_.Data()->ConfigDescriptorState, 0); // no stage consumed
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

// Builds a select-configuration request for interface 0 with 'pipes' pipes.
struct SelectConfig {
    explicit SelectConfig(ULONG pipes, USHORT length = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2))
        : storage(sizeof(URB) / sizeof(ULONGLONG)) { // room for the URB union, and more
        static_assert(sizeof(URB) >= GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2), "two pipes fit");
        urb = reinterpret_cast<PURB>(storage.data());
        // The descriptor as the class driver read it; no descriptor would unconfigure.
        UsbBuildSelectConfigurationRequest(
            urb, length,
            reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<UCHAR*>(kConfig.data())));
        urb->UrbSelectConfiguration.Interface.Length = GET_USBD_INTERFACE_SIZE(pipes);
        urb->UrbSelectConfiguration.Interface.NumberOfPipes = pipes;
        for (ULONG i = 0; i < 2; ++i) {
            Pipe(i).MaximumTransferSize = 0x1000 + i;
            Pipe(i).PipeFlags = 0x10 + i;
        }
    }
    USBD_PIPE_INFORMATION& Pipe(ULONG i) {
        return (&urb->UrbSelectConfiguration.Interface.Pipes[0])[i];
    }
    std::vector<ULONGLONG> storage;
    PURB urb;
};

TEST_F(XusbControlTest, SelectConfigurationFillsBothPipesWithTheirHandles) {
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    SelectConfig select(2);
    ASSERT_EQ(XboxControllerSelectConfig(child_.Data(), select.urb), STATUS_SUCCESS);
    const auto& request = select.urb->UrbSelectConfiguration;
    EXPECT_EQ(request.ConfigurationHandle, reinterpret_cast<PVOID>(0xDEADBEEF));
    EXPECT_EQ(request.Interface.InterfaceHandle, reinterpret_cast<PVOID>(0xDEADBEEF));
    EXPECT_EQ(request.Interface.Class, 0xFF);
    EXPECT_EQ(request.Interface.SubClass, 0x5D);
    EXPECT_EQ(request.Interface.Protocol, 0x01);
    struct Expected {
        UCHAR address;
        UCHAR interval;
        ULONG_PTR handle;
    };
    const Expected expected[2] = {{0x81, 4, 0x30481}, {0x02, 8, 0x30802}};
    for (ULONG i = 0; i < 2; ++i) {
        EXPECT_EQ(select.Pipe(i).EndpointAddress, expected[i].address);
        EXPECT_EQ(select.Pipe(i).Interval, expected[i].interval);
        EXPECT_EQ(select.Pipe(i).MaximumPacketSize, 32);
        EXPECT_EQ(select.Pipe(i).PipeType, UsbdPipeTypeInterrupt);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(select.Pipe(i).PipeHandle), expected[i].handle);
        EXPECT_EQ(select.Pipe(i).MaximumTransferSize, 0x1000 + i); // the sender's values stay
        EXPECT_EQ(select.Pipe(i).PipeFlags, 0x10 + i);
    }
}

TEST_F(XusbControlTest, SelectConfigurationRefusesWhatDoesNotMatchTheDevice) {
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    sim::trace::Capture trace;
    SelectConfig onePipe(1);
    EXPECT_EQ(XboxControllerSelectConfig(child_.Data(), onePipe.urb),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(trace.Contains("ERROR unmatched number of pipes.\n"));
    SelectConfig otherInterface(2);
    otherInterface.urb->UrbSelectConfiguration.Interface.InterfaceNumber = 1;
    EXPECT_EQ(XboxControllerSelectConfig(child_.Data(), otherInterface.urb),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(trace.Contains("ERROR no matching USB_INTERFACE_DESCRIPTOR found.\n"));
    // An URB whose own length leaves no room for the second pipe.
    SelectConfig cramped(2, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1));
    EXPECT_EQ(XboxControllerSelectConfig(child_.Data(), cramped.urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(cramped.Pipe(1).PipeHandle, nullptr);
}

// URBs arrive at DISPATCH_LEVEL: the descriptor set was validated and parsed
// as the child was made, and enumeration calls no USB library routine above
// the IRQL it is documented for (the simulator stops the program if it does).
TEST_F(XusbControlTest, EnumerationAtDispatchLevelIsServedFromTheParsedConfiguration) {
    sim::kernel::ScopedIrql dispatch(DISPATCH_LEVEL);
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    SelectConfig select(2);
    EXPECT_EQ(XboxControllerSelectConfig(child_.Data(), select.urb), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(select.Pipe(0).PipeHandle), 0x30481u);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(select.Pipe(1).PipeHandle), 0x30802u);
}

// Each child offers its configuration once its own device descriptor was read;
// another child's enumeration changes nothing for it.
TEST_F(XusbControlTest, SelectConfigurationBeforeTheChildsDeviceDescriptorFindsNoInterface) {
    XusbChild other(2, 0x0403);
    ASSERT_EQ(other.InitStatus(), STATUS_SUCCESS);
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    sim::trace::Capture trace;
    SelectConfig early(2);
    EXPECT_EQ(XboxControllerSelectConfig(other.Data(), early.urb), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(trace.Contains("no matching USB_INTERFACE_DESCRIPTOR"));
    EXPECT_EQ(early.Pipe(0).PipeHandle, nullptr);
    SelectConfig select(2);
    EXPECT_EQ(XboxControllerSelectConfig(child_.Data(), select.urb), STATUS_SUCCESS);
}

TEST_F(XusbControlTest, TheDispatcherAnswersEveryOtherFunctionWithSuccess) {
    struct Case {
        USHORT function;
        const char* trace;
    };
    const Case cases[] = {
        {URB_FUNCTION_SELECT_INTERFACE, "Quillex!XboxControllerSelectInterface: Do Nothing...\n"},
        {URB_FUNCTION_GET_STATUS_FROM_DEVICE,
         "Quillex!XboxControllerGetStatusFromDevice: Do Nothing...\n"},
        {URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, "Quillex!HandleXusbPdoURB: URB Not handled 0x7 \n"},
        {URB_FUNCTION_CLASS_INTERFACE, "Quillex!HandleXusbPdoURB: URB Not handled 0x1b \n"},
    };
    for (const Case& c : cases) {
        sim::trace::Capture trace;
        RtlZeroMemory(&irp_.urb, sizeof(URB));
        irp_.urb.UrbHeader.Function = c.function;
        irp_.urb.UrbHeader.Length = sizeof(URB);
        irp_.urb.UrbHeader.Status = USBD_STATUS_INTERNAL_HC_ERROR; // stale
        // Where the function reads from the device, nothing comes back.
        irp_.urb.UrbControlVendorClassRequest.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        irp_.urb.UrbControlVendorClassRequest.TransferBufferLength = 8;
        EXPECT_EQ(irp_.Send(child_), STATUS_SUCCESS) << c.function;
        EXPECT_EQ(irp_.Completions(), 1);
        EXPECT_EQ(irp_.urb.UrbHeader.Status, USBD_STATUS_SUCCESS) << c.function;
        if (c.function == URB_FUNCTION_GET_STATUS_FROM_DEVICE ||
            c.function == URB_FUNCTION_CLASS_INTERFACE) {
            EXPECT_EQ(irp_.urb.UrbControlVendorClassRequest.TransferBufferLength, 0u);
        }
        if (c.trace != nullptr) {
            EXPECT_TRUE(trace.Contains(c.trace)) << c.trace;
        }
    }
}

// The requests a class driver sends as it stops: an abort gives back every
// transfer waiting on the pipe, a reset finds no stall to clear, and a
// select-configuration without a descriptor unconfigures.
TEST_F(XusbControlTest, AbortResetAndUnconfigureAreAnsweredAsADeviceDoes) {
    auto pipeRequest = [&](USHORT function, ULONG handle) {
        RtlZeroMemory(&irp_.urb, sizeof(URB));
        irp_.urb.UrbHeader.Function = function;
        irp_.urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
        irp_.urb.UrbPipeRequest.PipeHandle =
            reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(handle));
        return irp_.Send(child_);
    };
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
    child_.Data()->Ep1InState = 2; // past the fixed reports: transfers wait
    ClassIrp first, second;
    Bytes a(32, 0xEE), b(32, 0xEE);
    BuildInterruptTransfer(&first.urb, 0x30481, a.data(), 32);
    BuildInterruptTransfer(&second.urb, 0x30481, b.data(), 32);
    ASSERT_EQ(first.Send(child_), STATUS_PENDING);
    ASSERT_EQ(second.Send(child_), STATUS_PENDING);

    EXPECT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE, 0x30802), STATUS_SUCCESS); // nothing waits there
    EXPECT_EQ(first.Completions(), 0);
    EXPECT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE, 0x30481), STATUS_SUCCESS);
    for (ClassIrp* t : {&first, &second}) {
        EXPECT_EQ(t->Completions(), 1);
        EXPECT_EQ(t->Status(), STATUS_CANCELLED);
        EXPECT_EQ(t->urb.UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(t->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    }
    EXPECT_TRUE(Untouched(a));
    EXPECT_TRUE(IsListEmpty(&child_.Data()->PendingEp1Irps));

    EXPECT_EQ(pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x30481), STATUS_SUCCESS);
    EXPECT_EQ(irp_.urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE, 0x12345), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0),
              STATUS_INVALID_PARAMETER);

    // Unconfigure: an URB as short as the request itself, nothing read past it.
    RtlZeroMemory(&irp_.urb, sizeof(URB));
    UsbBuildSelectConfigurationRequest(&irp_.urb, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
    irp_.urb.UrbSelectConfiguration.Interface.NumberOfPipes = 7; // not looked at
    EXPECT_EQ(irp_.Send(child_), STATUS_SUCCESS);
    EXPECT_EQ(irp_.urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(irp_.urb.UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_EQ(irp_.urb.UrbSelectConfiguration.Interface.InterfaceHandle, nullptr);

    // A removed child still gives transfers back on an abort.
    ClassIrp third;
    Bytes c(32, 0xEE);
    BuildInterruptTransfer(&third.urb, 0x30481, c.data(), 32);
    ASSERT_EQ(third.Send(child_), STATUS_PENDING);
    ASSERT_EQ(QuillexRemovePdo(child_.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE, 0x30481), STATUS_SUCCESS);
    EXPECT_EQ(third.Status(), STATUS_CANCELLED);
}

TEST_F(XusbControlTest, AnUrbShorterThanItsFunctionNeedsIsRefused) {
    Bytes buffer(18, 0xEE);
    BuildDescriptorRequest(&irp_.urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer.data(), 18);
    irp_.urb.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) - 1;
    sim::trace::Capture trace;
    EXPECT_EQ(irp_.Send(child_), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(irp_.Completions(), 1);
    EXPECT_TRUE(Untouched(buffer));
    EXPECT_TRUE(trace.Contains("URB of function 0xb too short: 135 bytes"));
}

TEST_F(XusbControlTest, InternalControlCodesOtherThanUrbs) {
    ULONG portStatus = 0;
    EXPECT_EQ(irp_.Send(child_, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, false),
              STATUS_SUCCESS);
    EXPECT_EQ(portStatus, 3u);
    EXPECT_EQ(irp_.Completions(), 1);
    EXPECT_EQ(irp_.Information(), 0u);

    sim::trace::Capture trace;
    EXPECT_EQ(irp_.Send(child_, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, false), STATUS_SUCCESS);
    EXPECT_EQ(irp_.Completions(), 1);
    EXPECT_TRUE(trace.Contains("IOCTL_INTERNAL_USB_RESET_PORT (*****)\n"));

    EXPECT_EQ(irp_.Send(child_, IOCTL_INTERNAL_USB_CYCLE_PORT, &portStatus, false),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(irp_.Status(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(trace.Contains("Ioctrl code 22001f not handled.\n"));
}

// A request without its argument is refused and, unlike a request that was
// never seen, comes back to its sender.
TEST_F(XusbControlTest, AnUrbRequestWithoutItsUrbIsCompletedWithAFailure) {
    sim::trace::Capture trace;
    EXPECT_EQ(irp_.Send(child_, IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr, false),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(irp_.Completions(), 1);
    EXPECT_EQ(irp_.Status(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(trace.Contains("Quillex!HandleXusbPdoInternalIrp: NULL Urb from Irp\n"));
    EXPECT_EQ(HandleXusbPdoInternalIrp(child_.Pdo(), nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(XusbControlTest, ARemovedChildRefusesEveryInternalRequest) {
    ASSERT_EQ(QuillexRemovePdo(child_.Pdo()), STATUS_SUCCESS);
    ULONG portStatus = 0;
    Bytes buffer(18, 0xEE);
    BuildDescriptorRequest(&irp_.urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer.data(), 18);
    sim::trace::Capture trace;
    EXPECT_EQ(irp_.Send(child_), STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_TRUE(Untouched(buffer));
    EXPECT_EQ(irp_.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(irp_.Send(child_, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, false),
              STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(irp_.Send(child_, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, false),
              STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(portStatus, 0u);
    EXPECT_EQ(irp_.Completions(), 1);
    EXPECT_EQ(trace.Count("Quillex!HandleXusbPdoInternalIrp: Error - PDO has been Removed\n"), 3u);
}

TEST_F(XusbControlTest, QueryInterfaceOffersVersionsZeroAndOneOfTheUsbBusInterface) {
    USB_BUS_INTERFACE_USBDI_V2 record;
    memset(&record, 0xAB, sizeof(record));
    auto* v1 = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(&record);
    EXPECT_EQ(irp_.QueryInterface(child_, &USB_BUS_INTERFACE_USBDI_GUID, 72, 1,
                                  reinterpret_cast<PINTERFACE>(&record)),
              STATUS_SUCCESS);
    EXPECT_EQ(irp_.Completions(), 1);
    EXPECT_EQ(v1->Size, 72);
    EXPECT_EQ(v1->Version, 1);
    EXPECT_EQ(v1->BusContext, child_.Pdo());
    ASSERT_NE(v1->IsDeviceHighSpeed, nullptr);
    EXPECT_FALSE(v1->IsDeviceHighSpeed(v1->BusContext));
    USBD_VERSION_INFORMATION version{};
    ULONG capabilities = 7;
    v1->GetUSBDIVersion(v1->BusContext, &version, &capabilities);
    EXPECT_EQ(version.USBDI_Version, 0x500u);
    EXPECT_EQ(version.Supported_USB_Version, 0x200u);
    EXPECT_EQ(capabilities, 0u);
    ULONG frame = 42;
    EXPECT_EQ(v1->QueryBusTime(v1->BusContext, &frame), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(frame, 42u);
    EXPECT_EQ(v1->SubmitIsoOutUrb(v1->BusContext, nullptr), STATUS_NOT_IMPLEMENTED);
    ULONG length = 8, actual = 9;
    EXPECT_EQ(v1->QueryBusInformation(v1->BusContext, 0, nullptr, &length, &actual),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(actual, 9u);
    v1->InterfaceReference(v1->BusContext);
    v1->InterfaceDereference(v1->BusContext);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(&record)[72], 0xAB); // nothing past version 1

    memset(&record, 0xAB, sizeof(record));
    EXPECT_EQ(irp_.QueryInterface(child_, &USB_BUS_INTERFACE_USBDI_GUID, 64, 0,
                                  reinterpret_cast<PINTERFACE>(&record)),
              STATUS_SUCCESS);
    EXPECT_EQ(v1->Size, 64);
    EXPECT_EQ(v1->Version, 0);
    EXPECT_NE(v1->QueryBusInformation, nullptr);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(&record)[64], 0xAB); // no IsDeviceHighSpeed
}

TEST_F(XusbControlTest, QueryInterfaceRefusalsAndOtherInterfaces) {
    USB_BUS_INTERFACE_USBDI_V2 record{};
    auto* iface = reinterpret_cast<PINTERFACE>(&record);
    sim::trace::Capture trace;
    EXPECT_EQ(irp_.QueryInterface(child_, &USB_BUS_INTERFACE_USBDI_GUID, 71, 1, iface),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(trace.Contains("Size of interface too small 1"));
    EXPECT_EQ(irp_.QueryInterface(child_, &USB_BUS_INTERFACE_USBDI_GUID, 63, 0, iface),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(irp_.QueryInterface(child_, &USB_BUS_INTERFACE_USBDI_GUID, 80, 2, iface),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(trace.Contains("Interface version not supported: 2"));
    EXPECT_EQ(record.Size, 0); // nothing written by a refusal
    EXPECT_EQ(irp_.QueryInterface(child_, &USB_BUS_INTERFACE_USBDI_GUID, 72, 1, nullptr),
              STATUS_INVALID_PARAMETER);

    // Another interface: completed with the status the request came with.
    const GUID other = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(irp_.QueryInterface(child_, &other, 72, 1, iface), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp_.Status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp_.Completions(), 1);
    EXPECT_TRUE(trace.Contains("Query InterfaceType GUID: 12345678-9abc-def0-0102-030405060708\n"));
    EXPECT_TRUE(trace.Contains("Unknown interface GUID\n"));
    // Still answered after removal.
    QuillexRemovePdo(child_.Pdo());
    EXPECT_EQ(irp_.QueryInterface(child_, &USB_BUS_INTERFACE_USBDI_GUID, 72, 1, iface),
              STATUS_SUCCESS);
}

// Requests of one kind that arrive together each get a stage of their own.
TEST_F(XusbControlTest, StagesAreClaimedOncePerRequestWhenRequestsRace) {
    constexpr int kThreads = 4;
    for (int round = 0; round < 200; ++round) {
        ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), STATUS_SUCCESS);
        std::vector<Bytes> answers(kThreads, Bytes(64, 0xEE));
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                ClassIrp irp;
                BuildDescriptorRequest(&irp.urb, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                       answers[t].data(), 64);
                ready++;
                while (ready < kThreads) {
                }
                sim::kernel::ScopedIrql dispatch(DISPATCH_LEVEL);
                irp.Send(child_);
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        int header = 0, full = 0, empty = 0, none = 0;
        for (const Bytes& a : answers) {
            if (Head(a, 9) == kConfigHeader && a[9] == 0xEE) {
                ++header;
            } else if (Head(a, 48) == kConfig) {
                ++full;
            } else if (Head(a, 3) == (Bytes{0x00, 0x00, 0xEE})) {
                ++empty;
            } else if (Untouched(a)) {
                ++none;
            }
        }
        ASSERT_EQ(header, 1) << "round " << round;
        ASSERT_EQ(full, 1) << "round " << round;
        ASSERT_EQ(empty, 1) << "round " << round;
        ASSERT_EQ(none, 1) << "round " << round;
    }
}

} // namespace

// The emulated controller's creation and identity in the whole stack: the
// child the driver creates over a plugged stick, what the PnP manager learns
// of it, the class driver's enumeration and configuration, and every failure
// of its creation.
#include <gtest/gtest.h>

#include "sim/core/winfmt.h"
#include "sim/io/device_object.h"
#include "sim/wdf/object.h"
#include "sim/kernel/system_thread.h"
#include "tests/support/controller_stack.h"

namespace quillex_test {
namespace {

using sim::pnp::ChildDevice;
using sim::pnp::DeviceState;
using Bytes = std::vector<uint8_t>;

TEST_F(XusbStackTest, TheChildAppearsAsAnXbox360ControllerAndTheClassDriverConfiguresIt) {
    InstallClassDriver();
    Plugged p = PlugWithController(0x0402);
    ASSERT_NE(p.controller, nullptr);
    EXPECT_TRUE(
        trace_.Contains("Quillex!Bus_XusbCreatePdo: <1> WdfPdoInitAssignInstanceID (01)\n"));
    EXPECT_TRUE(trace_.Contains("Quillex!Bus_XusbCreatePdo: <1> WdfFdoAddStaticChild status 0\n"));
    EXPECT_TRUE(trace_.Contains("    'USB\\MS_COMP_XUSB10'\n"));

    std::vector<ChildDevice> children = stack_.Children(p.id);
    ASSERT_EQ(children.size(), 1u);
    const ChildDevice& child = children[0];
    EXPECT_EQ(child.pdo, WdfDeviceWdmGetDeviceObject(p.child));
    EXPECT_EQ(child.pdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_BUS_EXTENDER));
    EXPECT_EQ(child.deviceId, "USB\\VID_045E&PID_028E&REV_0110");
    EXPECT_EQ(child.hardwareIds, (std::vector<std::string>{"USB\\VID_045E&PID_028E&REV_0110",
                                                           "USB\\VID_045E&PID_028E"}));
    EXPECT_EQ(child.compatibleIds,
              (std::vector<std::string>{"USB\\MS_COMP_XUSB10", "USB\\Class_FF&SubClass_5D&Prot_01",
                                        "USB\\Class_FF&SubClass_5D", "USB\\Class_FF"}));
    EXPECT_EQ(child.instanceIdOnBus, "01");
    EXPECT_EQ(child.description, "Controller");
    EXPECT_EQ(child.location, "Quillex Ersatz Xbox Controller");
    EXPECT_EQ(child.capabilities.Removable, 1u);
    EXPECT_EQ(child.capabilities.UniqueID, 1u);
    EXPECT_EQ(child.capabilities.SurpriseRemovalOK, 1u);
    EXPECT_EQ(child.capabilities.HardwareDisabled, 0u);
    EXPECT_EQ(child.capabilities.NoDisplayInUI, 0u);
    EXPECT_EQ(child.capabilities.Address, 1u);
    EXPECT_EQ(child.capabilities.UINumber, 1u);
    EXPECT_EQ(child.service, "xusb22");
    EXPECT_EQ(child.state, DeviceState::Started);

    PXUSB_PDO_DEVICE_DATA data = XusbPdoGetData(p.child);
    EXPECT_EQ(data->InstanceNumber, 1u);
    EXPECT_EQ(data->ParentDevice, p.context->Device);
    EXPECT_EQ(data->ProductId, 0x0402u);
    EXPECT_FALSE(QuillexReadFlag(&data->bRemoved));

    // What the class driver read and chose.
    sim::xbox::Controller& c = *p.controller;
    EXPECT_EQ(c.BusInterfaceStatus(), STATUS_SUCCESS);
    EXPECT_EQ(c.BusInterface().Size, 72);
    EXPECT_EQ(c.BusInterface().Version, 1);
    EXPECT_EQ(c.BusInterface().BusContext, p.child);
    EXPECT_EQ(c.UsbdVersion().USBDI_Version, 0x500u);
    EXPECT_EQ(c.UsbdVersion().Supported_USB_Version, 0x200u);
    EXPECT_EQ(c.HcdCapabilities(), 0u);
    EXPECT_FALSE(c.HighSpeed());
    EXPECT_EQ(c.DeviceDescriptor(), (Bytes{0x12, 0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x08, 0x6D,
                                           0x04, 0x02, 0x04, 0x14, 0x40, 0x01, 0x02, 0x03, 0x01}));
    Bytes configuration = c.Configuration();
    ASSERT_EQ(configuration.size(), 48u);
    EXPECT_EQ(Bytes(configuration.begin(), configuration.begin() + 9),
              (Bytes{0x09, 0x02, 0x30, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA}));
    EXPECT_EQ(c.Product(), "Torva Galdrune");

    std::vector<sim::xbox::Controller::Step> steps = c.Steps();
    auto step = [&](const std::string& what, size_t nth = 0) {
        for (const auto& s : steps) {
            if (s.what == what && nth-- == 0) {
                return s;
            }
        }
        ADD_FAILURE() << "no step " << what;
        return sim::xbox::Controller::Step{};
    };
    // Asked with room for 64 bytes, the device descriptor comes back as its 18.
    EXPECT_EQ(step("device descriptor").data.size(), 18u);
    EXPECT_EQ(step("device descriptor").usbdStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(step("configuration").data.size(), 48u);
    EXPECT_EQ(step("configuration descriptor").data,
              (Bytes{0x09, 0x02, 0x30, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA}));
    EXPECT_EQ(step("product string header").data, (Bytes{0x1E, 0x03}));
    EXPECT_EQ(step("product string header").usbdStatus, USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(step("product string header").status, STATUS_SUCCESS);
    EXPECT_EQ(step("vendor request", 0).data,
              (Bytes{0x00, 0x14, 0xFF, 0xF7, 0xFF, 0xFF, 0xC0, 0xFF, 0xC0, 0xFF,
                     0xC0, 0xFF, 0xC0, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(step("vendor request", 1).data, (Bytes{0x00, 0x08, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(step("vendor request", 2).data, (Bytes{0xCB, 0xDE, 0x3E, 0xCC}));

    std::vector<sim::xbox::Controller::Pipe> pipes = c.Pipes();
    ASSERT_EQ(pipes.size(), 2u);
    EXPECT_EQ(pipes[0].endpointAddress, 0x81);
    EXPECT_EQ(pipes[0].type, UsbdPipeTypeInterrupt);
    EXPECT_EQ(pipes[0].maximumPacketSize, 32);
    EXPECT_EQ(pipes[0].interval, 4);
    EXPECT_EQ(pipes[0].handle, 0x30481u);
    EXPECT_EQ(pipes[1].endpointAddress, 0x02);
    EXPECT_EQ(pipes[1].type, UsbdPipeTypeInterrupt);
    EXPECT_EQ(pipes[1].maximumPacketSize, 32);
    EXPECT_EQ(pipes[1].interval, 8);
    EXPECT_EQ(pipes[1].handle, 0x30802u);

    // Its two transfers got the two fixed reports, then wait; its LED
    // command for player 1 (0x06) became LED state 2.
    ASSERT_TRUE(c.WaitOutstanding(2));
    std::vector<sim::xbox::Gamepad> reports = c.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].thumbLX, static_cast<int16_t>(0xF7F5));
    EXPECT_EQ(reports[0].thumbLY, 0x0116);
    EXPECT_EQ(reports[0].thumbRX, 0x0B49);
    EXPECT_EQ(reports[1].thumbRX, 0x0ADC);
    EXPECT_EQ(reports[1].thumbRY, 0x0FAC);
    EXPECT_TRUE(WaitFor([&] { return LedStateOf(p.context) == 2; }));
}

TEST_F(XusbStackTest, TheProductIdOfAnyStickModelReachesTheDeviceDescriptor) {
    InstallClassDriver();
    Plugged p = PlugWithController(0x0403);
    ASSERT_NE(p.controller, nullptr);
    Bytes descriptor = p.controller->DeviceDescriptor();
    ASSERT_EQ(descriptor.size(), 18u);
    EXPECT_EQ(descriptor[10], 0x03);
    EXPECT_EQ(descriptor[11], 0x04);
}

// Device numbers are handed out at device add, one per stick: sticks plugged
// and removed in between take the numbers up to 10 and 100.
TEST_F(XusbStackTest, InstanceIdsHaveAtLeastTwoDigitsAndNameAddressAndUiNumber) {
    // Only the compatible ID binds this time.
    sim::xbox::Options options;
    options.ids = {"USB\\MS_COMP_XUSB10"};
    InstallClassDriver(options);
    const ULONG numbers[] = {1, 10, 100};
    const char* expected[] = {"01", "10", "100"};
    std::vector<DeviceId> ids;
    for (ULONG instance = 1; instance <= 100; ++instance) {
        if (instance == 1 || instance == 10 || instance == 100) {
            ids.push_back(PlugReadingStick(0x0402));
            ASSERT_EQ(Context(ids.back())->InstanceNumber, instance);
        } else {
            DeviceId passing = PlugStick(0x0402);
            ASSERT_EQ(stack_.Remove(passing), STATUS_SUCCESS);
        }
    }
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i]);
        std::vector<ChildDevice> children = stack_.Children(ids[i]);
        ASSERT_EQ(children.size(), 1u);
        EXPECT_EQ(children[0].instanceIdOnBus, expected[i]);
        EXPECT_EQ(children[0].instanceId,
                  std::string("USB\\VID_045E&PID_028E&REV_0110\\") + expected[i]);
        EXPECT_EQ(children[0].capabilities.Address, numbers[i]);
        EXPECT_EQ(children[0].capabilities.UINumber, numbers[i]);
        EXPECT_EQ(children[0].service, "xusb22");
        // The parent names its child.
        EXPECT_EQ(WdfDeviceWdmGetDeviceObject(Context(ids[i])->XusbPdo), children[0].pdo);
    }
    EXPECT_EQ(sim::xbox::Controllers().size(), 3u);
}

// Every step of creation that can fail: its status comes back in the trace,
// and nothing is left of the child. Each case is a stick of its own, whose
// reader meets the failure after its start-up wait and goes on reading
// without a controller.
TEST_F(XusbStackTest, EachFailingStepOfCreationIsUndoneAndReported) {
    InstallClassDriver();
    struct Case {
        const char* service;
        unsigned nth;
        const char* message; // "<#>" stands for the device's number
    };
    const Case cases[] = {
        {"WdfPdoInitAllocate", 1, "<#> WdfPdoInitAllocate failed\n"},
        {"WdfDeviceInitAssignSDDLString", 1, "<#> WdfDeviceInitAssignSDDLString failed 0xc000003e"},
        {"WdfPdoInitAssignDeviceID", 1, "<#> WdfPdoInitAssignDeviceID failed 0xc000003e"},
        {"WdfPdoInitAddHardwareID", 1, "<#> WdfPdoInitAddHardwareID failed 0xc000003e"},
        {"WdfPdoInitAddCompatibleID", 1, "<#> WdfPdoInitAddCompatibleID failed 0xc000003e"},
        {"RtlUnicodeStringPrintf", 1, "<#>-- RtlUnicodeStringPrintf failed 0xc000003e"},
        {"WdfPdoInitAssignInstanceID", 1, "<#>-- WdfPdoInitAssignInstanceID failed 0xc000003e"},
        {"RtlUnicodeStringPrintf", 2, "<#> RtlUnicodeStringPrintf failed 0xc000003e"},
        {"WdfPdoInitAddDeviceText", 1, "<#> WdfPdoInitAddDeviceText failed 0xc000003e"},
        {"WdfDeviceInitAssignWdmIrpPreprocessCallback", 1,
         "<#> WdfDeviceInitAssignWdmIrpPreprocessCallback IRP_MJ_PNP failed 0xc000003e"},
        {"WdfDeviceInitAssignWdmIrpPreprocessCallback", 2,
         "<#> WdfDeviceInitAssignWdmIrpPreprocessCallback IRP_MJ_INTERNAL_DEVICE_CONTROL failed "
         "0xc000003e"},
        {"WdfDeviceCreate", 1, "<#> WdfDeviceCreate failed 0xc000003e"},
        {"WdfFdoAddStaticChild", 1, " WdfFdoAddStaticChild  failed - 0xc000003e"},
    };
    // What a reader adds when no child is made (its shadow target and the
    // open behind it): measured on the first case, which fails before any
    // part of a child exists.
    long readerObjects = -1;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.service) + " #" + std::to_string(c.nth));
        DeviceId id = PlugStick(0x0402);
        PDEVICE_CONTEXT context = Context(id);
        ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
        ASSERT_TRUE(clock_.WaitForTimedWaiters(1));
        const long objects = static_cast<long>(sim::wdf::LiveObjectCount());
        const size_t devices = sim::io::LiveDeviceObjectCount();
        trace_.Clear();
        sim::fault::FailNthCall(c.service, c.nth, STATUS_DATA_ERROR);
        clock_.Advance(std::chrono::seconds(5));
        ASSERT_TRUE(WaitUntil([&] { return stack_.Hid(id)->WaitingReads() >= 1; }));
        stack_.WaitIdle();
        sim::fault::Reset();

        const NTSTATUS expected = std::string(c.service) == "WdfPdoInitAllocate"
                                      ? STATUS_INSUFFICIENT_RESOURCES
                                      : STATUS_DATA_ERROR;
        std::string message = c.message;
        const size_t number = message.find("<#>");
        if (number != std::string::npos) {
            message.replace(number, 3, sim::Format("<%u>", context->InstanceNumber));
        }
        EXPECT_TRUE(trace_.Contains(std::string("Quillex!Bus_XusbCreatePdo: ") + message))
            << message;
        EXPECT_TRUE(
            trace_.Contains(sim::Format("Quillex!Bus_XusbCreatePdo: <%u>-- Failed - - %x (err)\n",
                                        context->InstanceNumber, static_cast<unsigned>(expected))));
        EXPECT_EQ(context->XusbPdo, nullptr);
        EXPECT_TRUE(QuillexReadFlag(&context->PdoCreated)); // tried once per hardware start
        EXPECT_TRUE(stack_.Children(id).empty());
        const long added = static_cast<long>(sim::wdf::LiveObjectCount()) - objects;
        if (readerObjects < 0) {
            readerObjects = added;
        }
        EXPECT_EQ(added, readerObjects);
        EXPECT_EQ(sim::io::LiveDeviceObjectCount(), devices);
        // Only a child that existed when static-child registration failed was
        // cleaned up; no init record was left behind (unload would stop).
        EXPECT_EQ(trace_.Count("Quillex!XusbPdoCleanup: ++\n"),
                  std::string(c.service) == "WdfFdoAddStaticChild" ? 1u : 0u);
    }
}

// A child was made; the stop reports it missing, so the start takes it away
// (and the parent's handle with it). The reader's new attempt then fails and
// leaves no handle and no child behind.
TEST_F(XusbStackTest, AFailedAttemptAfterARestartLeavesNoHandleAndNoChild) {
    InstallClassDriver();
    DeviceId id = PlugReadingStick(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    WDFDEVICE first = context->XusbPdo;
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(stack_.Stop(id), STATUS_SUCCESS);
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    // The class driver may still be enumerating the stopped child, and reads
    // the mark as it goes.
    EXPECT_TRUE(QuillexReadFlag(&XusbPdoGetData(first)->bRemoved));
    ASSERT_EQ(stack_.Start(id), STATUS_SUCCESS);
    EXPECT_FALSE(QuillexReadFlag(&context->PdoCreated));
    EXPECT_EQ(context->XusbPdo, nullptr);
    EXPECT_TRUE(stack_.Children(id).empty());

    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    ASSERT_TRUE(clock_.WaitForTimedWaiters(1));
    sim::fault::FailNthCall("WdfDeviceCreate", 1, STATUS_DATA_ERROR);
    clock_.Advance(std::chrono::seconds(5));
    ASSERT_TRUE(WaitUntil([&] { return stack_.Hid(id)->WaitingReads() >= 1; }));
    stack_.WaitIdle();
    EXPECT_TRUE(
        trace_.Contains("Quillex!Bus_XusbCreatePdo: <1> WdfDeviceCreate failed 0xc000003e"));
    EXPECT_EQ(context->XusbPdo, nullptr);
    EXPECT_TRUE(stack_.Children(id).empty());
}

} // namespace
} // namespace quillex_test

// The emulated controller's creation and identity in the whole stack: the
// child the driver creates over a plugged stick, what the PnP manager learns
// of it, the class driver's enumeration and configuration, and every failure
// of its creation.
#include <gtest/gtest.h>

#include "sim/core/winfmt.h"
#include "sim/io/device_object.h"
#include "sim/wdf/object.h"
#include "tests/support/xusb_stack.h"

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
    EXPECT_FALSE(data->bRemoved);

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

TEST_F(XusbStackTest, InstanceIdsHaveAtLeastTwoDigitsAndNameAddressAndUiNumber) {
    // Only the compatible ID binds this time.
    sim::xbox::Options options;
    options.ids = {"USB\\MS_COMP_XUSB10"};
    InstallClassDriver(options);
    DeviceId id = PlugStick(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    for (ULONG instance : {0u, 7u, 123u}) {
        EXPECT_EQ(CreateChild(context, instance), STATUS_SUCCESS);
    }
    std::vector<ChildDevice> children = stack_.Children(id);
    ASSERT_EQ(children.size(), 3u);
    const char* expected[] = {"00", "07", "123"};
    const ULONG numbers[] = {0, 7, 123};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(children[i].instanceIdOnBus, expected[i]);
        EXPECT_EQ(children[i].instanceId,
                  std::string("USB\\VID_045E&PID_028E&REV_0110\\") + expected[i]);
        EXPECT_EQ(children[i].capabilities.Address, numbers[i]);
        EXPECT_EQ(children[i].capabilities.UINumber, numbers[i]);
        EXPECT_EQ(children[i].service, "xusb22");
    }
    // The parent names the newest child.
    EXPECT_EQ(WdfDeviceWdmGetDeviceObject(context->XusbPdo), children[2].pdo);
    EXPECT_EQ(sim::xbox::Controllers().size(), 3u);
}

// Every step of creation that can fail: its status comes back, its trace is
// written, and nothing is left of the child.
TEST_F(XusbStackTest, EachFailingStepOfCreationIsUndoneAndReported) {
    InstallClassDriver();
    DeviceId id = PlugStick(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    struct Case {
        const char* service;
        unsigned nth;
        const char* message;
    };
    const Case cases[] = {
        {"WdfPdoInitAllocate", 1, "<1> WdfPdoInitAllocate failed\n"},
        {"WdfDeviceInitAssignSDDLString", 1, "<1> WdfDeviceInitAssignSDDLString failed 0xc000003e"},
        {"WdfPdoInitAssignDeviceID", 1, "<1> WdfPdoInitAssignDeviceID failed 0xc000003e"},
        {"WdfPdoInitAddHardwareID", 1, "<1> WdfPdoInitAddHardwareID failed 0xc000003e"},
        {"WdfPdoInitAddCompatibleID", 1, "<1> WdfPdoInitAddCompatibleID failed 0xc000003e"},
        {"RtlUnicodeStringPrintf", 1, "<1>-- RtlUnicodeStringPrintf failed 0xc000003e"},
        {"WdfPdoInitAssignInstanceID", 1, "<1>-- WdfPdoInitAssignInstanceID failed 0xc000003e"},
        {"RtlUnicodeStringPrintf", 2, "<1> RtlUnicodeStringPrintf failed 0xc000003e"},
        {"WdfPdoInitAddDeviceText", 1, "<1> WdfPdoInitAddDeviceText failed 0xc000003e"},
        {"WdfDeviceInitAssignWdmIrpPreprocessCallback", 1,
         "<1> WdfDeviceInitAssignWdmIrpPreprocessCallback IRP_MJ_PNP failed 0xc000003e"},
        {"WdfDeviceInitAssignWdmIrpPreprocessCallback", 2,
         "<1> WdfDeviceInitAssignWdmIrpPreprocessCallback IRP_MJ_INTERNAL_DEVICE_CONTROL failed "
         "0xc000003e"},
        {"WdfDeviceCreate", 1, "<1> WdfDeviceCreate failed 0xc000003e"},
        {"WdfFdoAddStaticChild", 1, " WdfFdoAddStaticChild  failed - 0xc000003e"},
    };
    size_t objects = sim::wdf::LiveObjectCount();
    size_t devices = sim::io::LiveDeviceObjectCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.service) + " #" + std::to_string(c.nth));
        trace_.Clear();
        sim::fault::FailNthCall(c.service, c.nth, STATUS_DATA_ERROR);
        NTSTATUS expected = c.nth == 1 && std::string(c.service) == "WdfPdoInitAllocate"
                                ? STATUS_INSUFFICIENT_RESOURCES
                                : STATUS_DATA_ERROR;
        EXPECT_EQ(CreateChild(context, 1), expected);
        EXPECT_TRUE(trace_.Contains(std::string("Quillex!Bus_XusbCreatePdo: ") + c.message));
        EXPECT_TRUE(
            trace_.Contains(sim::Format("Quillex!Bus_XusbCreatePdo: <1>-- Failed - - %x (err)\n",
                                        static_cast<unsigned>(expected))));
        EXPECT_EQ(context->XusbPdo, nullptr);
        EXPECT_TRUE(stack_.Children(id).empty());
        EXPECT_EQ(sim::wdf::LiveObjectCount(), objects);
        EXPECT_EQ(sim::io::LiveDeviceObjectCount(), devices);
        sim::fault::Reset();
    }
    // Only the child that existed when static-child registration failed was
    // cleaned up; no init record was left behind (unload would stop).
    EXPECT_EQ(trace_.Count("Quillex!XusbPdoCleanup: ++\n"), 1u);

    // A later attempt succeeds; a failed one after it leaves the parent's
    // handle on the child it had.
    ASSERT_EQ(CreateChild(context, 1), STATUS_SUCCESS);
    WDFDEVICE first = context->XusbPdo;
    sim::fault::FailNthCall("WdfDeviceCreate", 1, STATUS_DATA_ERROR);
    EXPECT_EQ(CreateChild(context, 2), STATUS_DATA_ERROR);
    EXPECT_EQ(context->XusbPdo, first);
    EXPECT_EQ(stack_.Children(id).size(), 1u);
}

} // namespace
} // namespace quillex_test

// Driver entry and device add in the simulated PnP manager: numbering,
// product ids, the hardware ID limit, interface and name failures, the
// physical device object name, the mapping read at device add, and the
// traces of each step.
#include <stdio.h>

#include <algorithm>

#include "sim/core/utf.h"
#include "sim/peers/stick/plug.h"
#include "sim/peers/stick/stick.h"
#include "sim/registry/reg_file.h"
#include "sim/wdf/object.h"
#include "tests/support/driver_stack.h"

namespace quillex_test {
namespace {

using sim::pnp::DeviceState;

using DeviceAddTest = DriverStackTest;

// A hardware ID list whose multi-string takes exactly 'bytes' bytes, the first
// ID naming product 0x402.
std::vector<std::string> HardwareIdsOfBytes(size_t bytes) {
    std::string first = "HID\\VID_1234&PID_0402&REV_0100";
    size_t firstBytes = (first.size() + 1) * sizeof(WCHAR);
    size_t padChars = (bytes - firstBytes - sizeof(WCHAR)) / sizeof(WCHAR) - 1;
    return {first, "HID_DEVICE_" + std::string(padChars - 11, 'X')};
}

TEST_F(DeviceAddTest, DevicesAreNumberedFromOneAndARemovedNumberIsNotGivenBack) {
    DeviceId first = PlugStick(0x0402);
    DeviceId second = PlugStick(0x0403);
    EXPECT_EQ(Context(first)->InstanceNumber, 1u);
    EXPECT_EQ(Context(second)->InstanceNumber, 2u);
    ASSERT_EQ(stack_.Unplug(first), STATUS_SUCCESS);
    DeviceId third = PlugStick(0x0402);
    EXPECT_EQ(Context(third)->InstanceNumber, 3u);
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtDeviceAdd: This will be device # 3\n"));

    // Numbering starts over with the next load of the driver.
    ASSERT_EQ(stack_.Unload(), STATUS_SUCCESS);
    EXPECT_EQ(Context(PlugStick(0x0402))->InstanceNumber, 1u);
}

TEST_F(DeviceAddTest, TheProductIdIsReadAfterPidInTheFirstHardwareIdOnly) {
    struct Case {
        const char* what;
        std::vector<std::string> ids;
        ULONG expected;
    };
    const Case cases[] = {
        {"upper-case prefix", sim::stick::ArcadeStick(0x0402).hardwareIds, 0x402},
        {"the other model", sim::stick::ArcadeStick(0x0403).hardwareIds, 0x403},
        {"lower-case prefix", {"HID\\VID_1234&pid_0402", "HID\\VID_1234&PID_0402"}, 0},
        {"PID_ in the second ID only", {"HID\\VID_1234&REV_0100", "HID\\VID_1234&PID_0402"}, 0},
        {"three digits then '&'", {"HID\\VID_1234&PID_402&REV_0100"}, 0x402},
        {"five digits", {"HID\\VID_1234&PID_04031&REV_0100"}, 0x403},
        {"lower-case digits", {"HID\\VID_1234&PID_0a0f"}, 0xA0F},
        {"no digit", {"HID\\VID_1234&PID_&REV_0100"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceId id = PlugIds(c.ids);
        EXPECT_EQ(Context(id)->ProductId, c.expected);
        stack_.Unplug(id);
    }
}

TEST_F(DeviceAddTest, AHardwareIdListBeyond512BytesFailsDeviceAddBeforeAnyQueue) {
    size_t baseline = sim::wdf::LiveObjectCount();
    DeviceId fits = PlugIds(HardwareIdsOfBytes(512));
    EXPECT_EQ(Context(fits)->ProductId, 0x402u);
    stack_.Unplug(fits);
    trace_.Clear();
    sim::fault::Reset();

    sim::pnp::DeviceDescription tooLong;
    tooLong.hardwareIds = HardwareIdsOfBytes(514);
    DeviceId id = 0;
    EXPECT_EQ(stack_.Plug(std::move(tooLong), &id), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(stack_.State(id), DeviceState::AddFailed);
    EXPECT_EQ(sim::fault::CallCount("WdfIoQueueCreate"), 0u);
    EXPECT_EQ(sim::fault::CallCount("WdfDeviceCreateDeviceInterface"), 0u);
    EXPECT_FALSE(trace_.Contains("QuillexQueueInit"));
    EXPECT_FALSE(trace_.Contains("Quillex!Quillex_EvtDeviceAdd: --"));
    // The device it made is gone again, with its context (number 2 was taken).
    EXPECT_TRUE(trace_.Contains("Quillex!QuillexContextCleanup:  Remove PDO2 2\n"));
    EXPECT_EQ(sim::wdf::LiveObjectCount(), baseline + 1); // the driver alone
    EXPECT_EQ(Context(PlugStick(0x0402))->InstanceNumber, 3u);
}

void ExpectNoName(PDEVICE_CONTEXT context) {
    EXPECT_EQ(context->PdoName.Length, 0);
    EXPECT_EQ(context->PdoName.MaximumLength, 0);
    EXPECT_EQ(context->PdoName.Buffer, nullptr);
}

// A mapping that was not loaded is the default one, curves included, never
// all zeros (which would make every button A).
void ExpectMappingNotLoaded(PDEVICE_CONTEXT context) {
    EXPECT_TRUE(context->MappingInitialized);
    const UCHAR defaults[29] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                                0x0A, 0x07, 0x06, 0x00, 0x00, 0x00, 0x00, 0x5A, 0xA5, 0x5A,
                                0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A, 0xA5};
    ASSERT_EQ(sizeof(context->RemapRecord), sizeof(defaults));
    EXPECT_EQ(memcmp(&context->RemapRecord, defaults, sizeof(defaults)), 0);
    EXPECT_EQ(context->CurveTables[0][255], 255); // built from the default points
}

TEST_F(DeviceAddTest, AFailedInterfaceRegistrationLeavesAWorkingFilterWithoutNameOrMapping) {
    sim::registry::SetDword(RemapKey(), "BTN_A", 5);
    sim::fault::FailNthCall("WdfDeviceCreateDeviceInterface", 1, STATUS_INSUFFICIENT_RESOURCES);
    DeviceId id = PlugStick(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtDeviceAdd: Error - "
                                "WdfDeviceCreateDeviceInterface failed - 0xc000009a\n"));
    ExpectNoName(context);
    ExpectMappingNotLoaded(context);
    EXPECT_EQ(sim::fault::CallCount("WdfDeviceAllocAndQueryProperty"), 0u);
    EXPECT_TRUE(stack_.Interfaces(id).empty());
    EXPECT_NE(WdfDeviceGetDefaultQueue(stack_.FunctionDevice(id)), nullptr);
    EXPECT_EQ(context->AppInstance.Led, 3u);

    // Still a filter: the collection's own traffic goes through.
    sim::io::File file;
    ASSERT_EQ(file.Open(stack_.PdoName(id), GENERIC_READ), STATUS_SUCCESS);
    sim::stick::Stick stick(stack_.Hid(id));
    ASSERT_EQ(stick.Send(sim::stick::Encode(sim::stick::Layout::A, {})), STATUS_SUCCESS);
    UCHAR report[20];
    EXPECT_EQ(file.Read(report, sizeof(report), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(stack_.Recorder(id)->CountOf(IRP_MJ_READ), 1u);
}

TEST_F(DeviceAddTest, AFailedNameQueryLeavesTheNameEmptyAndTheMappingNotLoaded) {
    sim::registry::SetDword(RemapKey(), "BTN_A", 5);
    sim::fault::FailNthCall("WdfDeviceAllocAndQueryProperty", 1, STATUS_INSUFFICIENT_RESOURCES);
    DeviceId id = PlugStick(0x0403);
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtDeviceAdd: Error - "
                                "WdfDeviceAllocAndQueryProperty failed - 0xc000009a\n"));
    ExpectNoName(Context(id));
    ExpectMappingNotLoaded(Context(id));
    EXPECT_EQ(stack_.Interfaces(id).size(), 1u);
}

TEST_F(DeviceAddTest, PdoNameCountsTheNameWithoutItsTerminatingNull) {
    for (std::string name :
         {std::string(), std::string("\\Device\\S"), "\\Device\\" + std::string(200, 'n')}) {
        sim::pnp::DeviceDescription stick = sim::stick::ArcadeStick(0x0402);
        stick.pdoName = name;
        DeviceId id = Plug(std::move(stick));
        std::string expected = stack_.PdoName(id);
        SCOPED_TRACE(expected);
        const UNICODE_STRING& pdoName = Context(id)->PdoName;
        EXPECT_EQ(pdoName.Length, expected.size() * sizeof(WCHAR));
        EXPECT_EQ(pdoName.MaximumLength, pdoName.Length + sizeof(WCHAR));
        EXPECT_EQ(sim::Utf16ToUtf8(pdoName), expected);
        EXPECT_EQ(pdoName.Buffer[pdoName.Length / sizeof(WCHAR)], 0);
        stack_.Unplug(id);
    }

    // The longest name a device can carry, 32767 characters, is 65536 bytes
    // with its null: too long for a counted string, so PdoName stays empty
    // rather than wrapping round to a length of zero.
    sim::pnp::DeviceDescription longest = sim::stick::ArcadeStick(0x0402);
    longest.pdoName = "\\Device\\" + std::string(32767 - 8, 'L');
    DeviceId id = Plug(std::move(longest));
    ExpectNoName(Context(id));
    EXPECT_TRUE(trace_.Contains("physical device object name of 65536 bytes"));
}

TEST_F(DeviceAddTest, TheMappingIsLoadedFromTheRegistryFileAtDeviceAdd) {
    std::string path = ::testing::TempDir() + "quillex_device_add.reg";
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fputs("Windows Registry Editor Version 5.00\r\n\r\n"
          "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Quillex\\Parameters\\Remap]"
          "\r\n\"BTN_A\"=dword:00000003\r\n\"SWAP_TRIGGERS\"=dword:00000001\r\n"
          "\"R_TRIG_CP_1\"=dword:00000010\r\n",
          file);
    fclose(file);
    std::string error;
    ASSERT_TRUE(sim::registry::ImportRegFile(path, &error)) << error;
    remove(path.c_str());

    PDEVICE_CONTEXT context = Context(PlugStick(0x0402));
    EXPECT_EQ(context->RemapRecord.ButtonMap[0], 3);
    EXPECT_EQ(context->RemapRecord.ButtonMap[1], 1); // not in the file: its default
    EXPECT_EQ(context->RemapRecord.SWAP_TRIGGERS, 1);
    EXPECT_EQ(context->RemapRecord.R_TRIG_CP_1, 0x10);
    EXPECT_EQ(sim::Utf16ToUtf8(context->RegistryPath), RemapKey());
    EXPECT_EQ(context->AppInstance.LeftStickX, 128u);
    EXPECT_EQ(context->AppInstance.Dpad, 8u);
}

std::vector<sim::trace::Record> DeviceAddRecords(const sim::trace::Capture& trace) {
    std::vector<sim::trace::Record> out;
    for (const sim::trace::Record& r : trace.Records()) {
        if (r.Text.rfind("Quillex!Quillex_EvtDeviceAdd", 0) == 0 ||
            r.Text.rfind("Quillex!QuillexQueueInit", 0) == 0) {
            out.push_back(r);
        }
    }
    return out;
}

TEST_F(DeviceAddTest, DeviceAddTracesItsStepsWithTheirLevelsAndFlags) {
    PlugStick(0x0402);
    std::vector<sim::trace::Record> records = DeviceAddRecords(trace_);
    const sim::trace::Record expected[] = {
        {5, 0x400, "Quillex!Quillex_EvtDeviceAdd: ++\n"},
        {4, 0x100, "Quillex!Quillex_EvtDeviceAdd: This will be device # 1\n"},
        {5, 0x400, "Quillex!QuillexQueueInit: ++\n"},
        {5, 0x400, "Quillex!QuillexQueueInit: -- 0\n"},
        {4, 0x400, "Quillex!Quillex_EvtDeviceAdd: -- 0\n"},
    };
    ASSERT_EQ(records.size(), std::size(expected));
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].Text, expected[i].Text);
        EXPECT_EQ(records[i].Level, expected[i].Level) << expected[i].Text;
        EXPECT_EQ(records[i].Flags, expected[i].Flags) << expected[i].Text;
    }
}

TEST_F(DeviceAddTest, FrameworkFailuresAreTracedAndReturned) {
    sim::fault::FailNthCall("WdfDriverCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(stack_.Load(), STATUS_INSUFFICIENT_RESOURCES);
    sim::trace::Record record{};
    ASSERT_TRUE(trace_.Find("Quillex: Error Creating WDFDRIVER", &record));
    EXPECT_EQ(record.Text, "Quillex: Error Creating WDFDRIVER 0xc000009a\n");
    EXPECT_EQ(record.Level, 2u);
    EXPECT_EQ(record.Flags, 0x1u);
    EXPECT_FALSE(stack_.Loaded());

    sim::fault::FailNthCall("WdfDeviceCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    DeviceId id = 0;
    EXPECT_EQ(stack_.Plug(sim::stick::ArcadeStick(0x0402), &id), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(trace_.Contains(
        "Quillex!Quillex_EvtDeviceAdd: Error - WdfDeviceCreate failed - c000009a\n"));
    EXPECT_EQ(stack_.State(id), DeviceState::AddFailed);

    sim::fault::FailNthCall("WdfIoQueueCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(stack_.Plug(sim::stick::ArcadeStick(0x0402), &id), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(
        trace_.Contains("Quillex!QuillexQueueInit: Error - WdfIoQueueCreate failed 0xc000009a\n"));
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtDeviceAdd: -- c000009a\n"));
    EXPECT_EQ(stack_.State(id), DeviceState::AddFailed);
    EXPECT_EQ(stack_.FunctionDevice(id), nullptr);
}

} // namespace
} // namespace quillex_test

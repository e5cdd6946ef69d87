// The simulated PnP and I/O managers on their own, with a small test driver:
// the object namespace, loading, device add and start, properties,
// interfaces, surprise and orderly removal.
#include <gtest/gtest.h>

#include "sim/core/fault.h"
#include "sim/core/utf.h"
#include "sim/io/device_object.h"
#include "sim/io/file.h"
#include "sim/io/object_names.h"
#include "sim/kernel/thread_state.h"
#include "sim/peers/stick/plug.h"
#include "sim/pnp/stack.h"
#include "sim/wdf/object.h"
#include "tests/support/test_filter_driver.h"

namespace quillex_test {
namespace {

using sim::pnp::DeviceState;
using sim::pnp::Stack;

// {6B8F0F0B-2F4A-4C1E-9C43-5A1D2E3F4B5C}
const GUID kTestInterface = {
    0x6b8f0f0b, 0x2f4a, 0x4c1e, {0x9c, 0x43, 0x5a, 0x1d, 0x2e, 0x3f, 0x4b, 0x5c}};

std::vector<WCHAR> MultiSz(const std::vector<std::string>& ids) {
    std::vector<WCHAR> out;
    for (const std::string& id : ids) {
        std::vector<WCHAR> w = sim::WideZ(id);
        out.insert(out.end(), w.begin(), w.end());
    }
    out.push_back(0);
    return out;
}

class PnpManagerTest : public ::testing::Test {
  protected:
    PnpManagerTest() : baseline_(sim::wdf::LiveObjectCount()) {}

    TestDriverHooks& hooks() { return scope_.hooks(); }
    Stack::DeviceId PlugStick(uint16_t productId = 0x0402) {
        Stack::DeviceId id = 0;
        EXPECT_EQ(stack_->Plug(sim::stick::ArcadeStick(productId), &id), STATUS_SUCCESS);
        return id;
    }

    sim::fault::Scope faults_;
    TestDriverScope scope_;
    size_t baseline_;
    size_t devicesBefore_ = sim::io::LiveDeviceObjectCount();
    std::unique_ptr<Stack> stack_ = std::make_unique<Stack>(test_driver::DriverEntry);
};

TEST(ObjectNamespace, LinksResolveInEveryFormAndKeepWhatFollowsTheDeviceName) {
    DRIVER_OBJECT driver{};
    std::vector<WCHAR> name = sim::WideZ("\\Device\\NamespaceTest");
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name.data());
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(&driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    PDEVICE_OBJECT twin = nullptr;
    EXPECT_EQ(IoCreateDevice(&driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &twin),
              STATUS_OBJECT_NAME_COLLISION);

    std::vector<WCHAR> link = sim::WideZ("\\??\\NamespaceLink");
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, link.data());
    ASSERT_EQ(IoCreateSymbolicLink(&linkName, &deviceName), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&linkName, &deviceName), STATUS_OBJECT_NAME_COLLISION);

    std::string rest = "unset";
    EXPECT_EQ(sim::io::ResolvePath("\\\\?\\namespacelink\\Ref\\More", &rest), device);
    EXPECT_EQ(rest, "\\Ref\\More");
    EXPECT_EQ(sim::io::ResolvePath("\\\\.\\NAMESPACELINK", &rest), device);
    EXPECT_EQ(rest, "");
    EXPECT_EQ(sim::io::ResolvePath("\\Device\\NamespaceTest", nullptr), device);
    EXPECT_EQ(sim::io::ResolvePath("\\Device\\NamespaceTes", nullptr), nullptr);
    EXPECT_EQ(sim::io::ResolvePath("\\??\\Other", nullptr), nullptr);

    EXPECT_EQ(IoDeleteSymbolicLink(&linkName), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::ResolvePath("\\??\\NamespaceLink", nullptr), nullptr);
    IoDeleteDevice(device);
    EXPECT_EQ(sim::io::ResolvePath("\\Device\\NamespaceTest", nullptr), nullptr);
}

TEST_F(PnpManagerTest, PlugRunsDeviceAddAndStartOnThePnpThreadAndUnplugUndoesItAll) {
    std::string addThread;
    KIRQL addIrql = HIGH_LEVEL;
    hooks().afterCreate = [&](WDFDEVICE) {
        addThread = sim::kernel::CurrentThreadName();
        addIrql = KeGetCurrentIrql();
        return STATUS_SUCCESS;
    };
    Stack::DeviceId id = PlugStick();
    EXPECT_EQ(stack_->State(id), DeviceState::Started);
    EXPECT_EQ(addThread, "pnp");
    EXPECT_EQ(addIrql, PASSIVE_LEVEL);
    EXPECT_EQ(hooks().Events(), (std::vector<std::string>{"device add", "prepare", "D0 entry",
                                                          "self-managed I/O init"}));
    ASSERT_NE(stack_->FunctionDevice(id), nullptr);
    EXPECT_EQ(WdfDeviceWdmGetPhysicalDevice(stack_->FunctionDevice(id)),
              sim::io::ResolvePath(stack_->PdoName(id), nullptr));

    ASSERT_EQ(stack_->Unplug(id), STATUS_SUCCESS);
    EXPECT_EQ(stack_->State(id), DeviceState::Removed);
    EXPECT_EQ(stack_->FunctionDevice(id), nullptr);
    EXPECT_EQ(hooks().Events(),
              (std::vector<std::string>{
                  "device add", "prepare", "D0 entry", "self-managed I/O init", "surprise removal",
                  "self-managed I/O suspend", "D0 exit", "release", "self-managed I/O flush",
                  "self-managed I/O cleanup", "context cleanup"}));
    EXPECT_EQ(
        stack_->Lower(id)->PnpLog(),
        (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(stack_->Unplug(id), STATUS_NO_SUCH_DEVICE);
    // The driver object alone is left until unload.
    EXPECT_EQ(sim::wdf::LiveObjectCount(), baseline_ + 1);
    EXPECT_EQ(sim::io::LiveDeviceObjectCount(), devicesBefore_);
    EXPECT_EQ(stack_->Unload(), STATUS_SUCCESS);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), baseline_);
    EXPECT_EQ(hooks().Events().back(), "unload");
}

TEST_F(PnpManagerTest, ADeviceAddedWithItsStartHeldBackIsRemovedWithoutEverStarting) {
    for (bool surprise : {true, false}) {
        SCOPED_TRACE(surprise ? "unplugged" : "removed");
        {
            std::lock_guard<std::mutex> guard(hooks().lock);
            hooks().events.clear();
        }
        Stack::DeviceId id = 0;
        ASSERT_EQ(stack_->PlugWithoutStart(sim::stick::ArcadeStick(0x0402), &id), STATUS_SUCCESS);
        EXPECT_EQ(stack_->State(id), DeviceState::Added);
        ASSERT_NE(stack_->FunctionDevice(id), nullptr);
        EXPECT_EQ(hooks().Events(), (std::vector<std::string>{"device add"}));
        EXPECT_EQ(stack_->Stop(id), STATUS_INVALID_DEVICE_STATE);

        ASSERT_EQ(surprise ? stack_->Unplug(id) : stack_->Remove(id), STATUS_SUCCESS);
        stack_->WaitRemoved(id);
        EXPECT_EQ(stack_->State(id), DeviceState::Removed);
        // Nothing was started, so nothing is stopped or released.
        EXPECT_EQ(hooks().Events(), (std::vector<std::string>{"device add", "context cleanup"}));
        EXPECT_EQ(stack_->Lower(id)->PnpLog(), (std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE}));
        EXPECT_EQ(sim::io::LiveDeviceObjectCount(), devicesBefore_);
    }
    EXPECT_EQ(stack_->Unload(), STATUS_SUCCESS);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), baseline_);
}

TEST_F(PnpManagerTest, OnlyARemovedDeviceIsForgottenAndItsIdThenNamesNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Stack::DeviceId id = PlugStick();
    EXPECT_DEATH(stack_->Forget(id), "device 1 cannot be forgotten: it is not removed");
    ASSERT_EQ(stack_->Unplug(id), STATUS_SUCCESS);
    stack_->WaitRemoved(id);
    stack_->Forget(id);
    EXPECT_DEATH(stack_->State(id), "no device 1");
    EXPECT_DEATH(stack_->Forget(id), "device 1 cannot be forgotten: there is no such device");
    // The next plug is a device of its own, as before.
    Stack::DeviceId next = PlugStick();
    EXPECT_NE(next, id);
    EXPECT_EQ(stack_->State(next), DeviceState::Started);
    ASSERT_EQ(stack_->Unplug(next), STATUS_SUCCESS);
    EXPECT_EQ(stack_->Unload(), STATUS_SUCCESS);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), baseline_);
}

TEST_F(PnpManagerTest, PropertiesComeFromThePdoAndATooSmallBufferReportsTheSizeNeeded) {
    std::vector<WCHAR> expected = MultiSz(sim::stick::ArcadeStick(0x0403).hardwareIds);
    ULONG needed = static_cast<ULONG>(expected.size() * sizeof(WCHAR));
    std::vector<WCHAR> pdoName;
    hooks().afterCreate = [&](WDFDEVICE device) {
        WCHAR small[8];
        ULONG length = 0;
        EXPECT_EQ(
            WdfDeviceQueryProperty(device, DevicePropertyHardwareID, sizeof(small), small, &length),
            STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, needed);
        std::vector<WCHAR> exact(expected.size());
        EXPECT_EQ(
            WdfDeviceQueryProperty(device, DevicePropertyHardwareID, needed, exact.data(), &length),
            STATUS_SUCCESS);
        EXPECT_EQ(exact, expected);

        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        WDFMEMORY memory;
        EXPECT_EQ(WdfDeviceAllocAndQueryProperty(device, DevicePropertyPhysicalDeviceObjectName,
                                                 NonPagedPool, &attributes, &memory),
                  STATUS_SUCCESS);
        size_t size = 0;
        auto* text = static_cast<WCHAR*>(WdfMemoryGetBuffer(memory, &size));
        pdoName.assign(text, text + size / sizeof(WCHAR));
        return STATUS_SUCCESS;
    };
    Stack::DeviceId id = PlugStick(0x0403);
    EXPECT_EQ(pdoName, sim::WideZ(stack_->PdoName(id)));
    EXPECT_EQ(stack_->PdoName(id).rfind("\\Device\\", 0), 0u);
    EXPECT_EQ(stack_->InstanceId(id).rfind("HID\\VID_1234&PID_0403\\", 0), 0u);
}

TEST_F(PnpManagerTest, AnInterfaceIsOpenableWhileTheDeviceRunsAndGoneOnceUnplugged) {
    hooks().afterCreate = [](WDFDEVICE device) {
        return WdfDeviceCreateDeviceInterface(device, &kTestInterface, nullptr);
    };
    Stack::DeviceId id = PlugStick();
    std::vector<std::string> interfaces = stack_->Interfaces(id);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(
        interfaces[0], "\\\\?\\" + [&] {
            std::string s = stack_->InstanceId(id);
            for (char& c : s) {
                c = c == '\\' ? '#' : c;
            }
            return s;
        }() + "#{6b8f0f0b-2f4a-4c1e-9c43-5a1d2e3f4b5c}");
    EXPECT_EQ(sim::pnp::EnabledInterfaces(kTestInterface), interfaces);

    sim::io::File file;
    ASSERT_EQ(file.Open(interfaces[0], GENERIC_READ), STATUS_SUCCESS);
    // The filter has no create callback: the open went down to the collection.
    EXPECT_EQ(stack_->Recorder(id)->CountOf(IRP_MJ_CREATE), 1u);
    file.Close();
    EXPECT_EQ(stack_->Recorder(id)->CountOf(IRP_MJ_CLOSE), 1u);

    ASSERT_EQ(stack_->Unplug(id), STATUS_SUCCESS);
    EXPECT_TRUE(sim::pnp::EnabledInterfaces(kTestInterface).empty());
    EXPECT_EQ(file.Open(interfaces[0], GENERIC_READ), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(PnpManagerTest, RemovalAfterUnplugWaitsForTheLastHandle) {
    Stack::DeviceId id = PlugStick();
    sim::io::File first, second;
    ASSERT_EQ(first.Open(stack_->PdoName(id), GENERIC_READ), STATUS_SUCCESS);
    ASSERT_EQ(second.Open(stack_->PdoName(id), GENERIC_READ), STATUS_SUCCESS);

    ASSERT_EQ(stack_->Unplug(id), STATUS_SUCCESS);
    EXPECT_EQ(stack_->State(id), DeviceState::SurpriseRemoved);
    EXPECT_NE(stack_->FunctionDevice(id), nullptr);
    sim::io::File late;
    EXPECT_EQ(late.Open(stack_->PdoName(id), GENERIC_READ), STATUS_DELETE_PENDING);
    EXPECT_EQ(stack_->Remove(id), STATUS_DEVICE_BUSY);

    first.Close();
    EXPECT_EQ(stack_->State(id), DeviceState::SurpriseRemoved);
    second.Close();
    stack_->WaitRemoved(id);
    EXPECT_EQ(hooks().Events().back(), "context cleanup");
    EXPECT_EQ(stack_->Lower(id)->PnpLog().back(), IRP_MN_REMOVE_DEVICE);
}

TEST_F(PnpManagerTest, OrderlyRemovalIsVetoedByOpenHandlesAndByTheDriver) {
    NTSTATUS veto = STATUS_UNSUCCESSFUL;
    hooks().queryRemove = [&](WDFDEVICE) { return veto; };
    Stack::DeviceId id = PlugStick();
    {
        sim::io::File file;
        ASSERT_EQ(file.Open(stack_->PdoName(id), GENERIC_READ), STATUS_SUCCESS);
        EXPECT_EQ(stack_->Remove(id), STATUS_DEVICE_BUSY);
    }
    EXPECT_EQ(stack_->Remove(id), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stack_->State(id), DeviceState::Started);
    EXPECT_EQ(stack_->Lower(id)->PnpLog().back(), IRP_MN_CANCEL_REMOVE_DEVICE);

    veto = STATUS_SUCCESS;
    EXPECT_EQ(stack_->Remove(id), STATUS_SUCCESS);
    EXPECT_EQ(stack_->State(id), DeviceState::Removed);
    std::vector<std::string> events = hooks().Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "surprise removal"), 0);
    EXPECT_EQ(events.back(), "context cleanup");
}

TEST_F(PnpManagerTest, AFailedDeviceAddLeavesThePdoAloneAndTheDeviceDeleted) {
    hooks().afterCreate = [](WDFDEVICE) { return STATUS_INSUFFICIENT_RESOURCES; };
    Stack::DeviceId id = 0;
    EXPECT_EQ(stack_->Plug(sim::stick::ArcadeStick(0x0402), &id), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(stack_->State(id), DeviceState::AddFailed);
    EXPECT_EQ(stack_->FunctionDevice(id), nullptr);
    EXPECT_EQ(hooks().Events(), (std::vector<std::string>{"device add", "context cleanup"}));
    EXPECT_TRUE(stack_->Lower(id)->PnpLog().empty());
    EXPECT_EQ(stack_->Unplug(id), STATUS_SUCCESS);
    EXPECT_EQ(stack_->State(id), DeviceState::Removed);
}

TEST_F(PnpManagerTest, ADriverThatFailsToLoadLeavesTheStickWithoutIt) {
    sim::fault::FailNthCall("WdfDriverCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    Stack::DeviceId id = 0;
    EXPECT_EQ(stack_->Plug(sim::stick::ArcadeStick(0x0402), &id), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(stack_->State(id), DeviceState::NoDriver);
    EXPECT_FALSE(stack_->Loaded());
    EXPECT_TRUE(hooks().Events().empty());
    EXPECT_EQ(sim::wdf::LiveObjectCount(), baseline_);
    EXPECT_EQ(stack_->Unplug(id), STATUS_SUCCESS);
    // The next stick loads it.
    EXPECT_EQ(stack_->State(PlugStick()), DeviceState::Started);
}

TEST_F(PnpManagerTest, UnloadRemovesWhatIsLeftFirst) {
    PlugStick(0x0402);
    PlugStick(0x0403);
    EXPECT_EQ(stack_->Unload(), STATUS_SUCCESS);
    EXPECT_FALSE(stack_->Loaded());
    std::vector<std::string> events = hooks().Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "context cleanup"), 2);
    EXPECT_EQ(events.back(), "unload");
    EXPECT_EQ(sim::wdf::LiveObjectCount(), baseline_);
}

} // namespace
} // namespace quillex_test

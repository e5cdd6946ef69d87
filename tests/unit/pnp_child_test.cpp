// Child devices in the simulated framework and PnP manager: a filter device
// creates a PDO with an identity, makes it a static child, the PnP manager
// enumerates it and binds an installed WDM driver to it by its IDs, and the
// child leaves before its parent.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "sim/core/fault.h"
#include "sim/core/utf.h"
#include "sim/io/device_object.h"
#include "sim/io/sync_call.h"
#include "sim/peers/stick/plug.h"
#include "sim/pnp/stack.h"
#include "sim/wdf/object.h"
#include "tests/support/test_filter_driver.h"

namespace quillex_test {

// Outside the unnamed namespace: its accessor, unused here, then has external
// linkage, as the framework's own declarations do, and no compiler flags it.
struct TEST_CHILD_CONTEXT {
    ULONG Number;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_CHILD_CONTEXT, TestChildContext)

namespace {

using sim::pnp::DeviceState;
using sim::pnp::Stack;

// Counted value holding several null-terminated strings, as the driver hands
// its ID lists over (the count covers the strings and their nulls).
struct CountedList {
    explicit CountedList(const std::vector<std::string>& items) {
        for (const std::string& item : items) {
            std::vector<WCHAR> w = sim::WideZ(item);
            text.insert(text.end(), w.begin(), w.end());
        }
        value.Buffer = text.data();
        value.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        value.MaximumLength = value.Length;
    }
    std::vector<WCHAR> text;
    UNICODE_STRING value{};
};

struct CountedText {
    explicit CountedText(const std::string& s) : text(sim::WideZ(s)) {
        RtlInitUnicodeString(&value, text.data());
    }
    std::vector<WCHAR> text;
    UNICODE_STRING value{};
};

const std::vector<std::string> kHardwareIds = {"USB\\VID_045E&PID_028E&REV_0110",
                                               "USB\\VID_045E&PID_028E"};
const std::vector<std::string> kCompatibleIds = {"USB\\MS_COMP_TEST", "USB\\Class_FF"};

VOID ChildCleanup(WDFOBJECT) {
    Hooks().Log("child cleanup");
}

NTSTATUS PnpPreprocess(WDFDEVICE, PIRP irp) {
    Hooks().Log("preprocess pnp " +
                std::to_string(IoGetCurrentIrpStackLocation(irp)->MinorFunction));
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS InternalPreprocess(WDFDEVICE, PIRP irp) {
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    Hooks().Log("preprocess internal");
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = code;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Creates a child of 'parent' the way a bus-like driver does; every failure
// is undone here (the init record freed, an unreported child deleted).
NTSTATUS MakeChild(WDFDEVICE parent, WDFDEVICE* made) {
    *made = nullptr;
    PWDFDEVICE_INIT init = WdfPdoInitAllocate(parent);
    if (init == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    CountedList hardware(kHardwareIds), compatible(kCompatibleIds);
    CountedText instance("07"), description("Controller"), location("Under the stick");
    CountedText sddl("D:P(A;;GA;;;SY)");
    UCHAR minors[] = {IRP_MN_QUERY_INTERFACE};
    WdfDeviceInitSetDeviceType(init, FILE_DEVICE_BUS_EXTENDER);
    NTSTATUS status = WdfDeviceInitAssignSDDLString(init, &sddl.value);
    if (NT_SUCCESS(status)) {
        status = WdfPdoInitAssignDeviceID(init, &hardware.value);
    }
    if (NT_SUCCESS(status)) {
        status = WdfPdoInitAddHardwareID(init, &hardware.value);
    }
    if (NT_SUCCESS(status)) {
        status = WdfPdoInitAddCompatibleID(init, &compatible.value);
    }
    if (NT_SUCCESS(status)) {
        status = WdfPdoInitAssignInstanceID(init, &instance.value);
    }
    if (NT_SUCCESS(status)) {
        status = WdfPdoInitAddDeviceText(init, &description.value, &location.value, 0x409);
    }
    WdfPdoInitSetDefaultLocale(init, 0x409);
    if (NT_SUCCESS(status)) {
        status =
            WdfDeviceInitAssignWdmIrpPreprocessCallback(init, PnpPreprocess, IRP_MJ_PNP, minors, 1);
    }
    if (NT_SUCCESS(status)) {
        status = WdfDeviceInitAssignWdmIrpPreprocessCallback(
            init, InternalPreprocess, IRP_MJ_INTERNAL_DEVICE_CONTROL, nullptr, 0);
    }
    WDFDEVICE child = nullptr;
    if (NT_SUCCESS(status)) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_CHILD_CONTEXT);
        attributes.EvtCleanupCallback = ChildCleanup;
        status = WdfDeviceCreate(&init, &attributes, &child);
    }
    if (!NT_SUCCESS(status)) {
        WdfDeviceInitFree(init);
        return status;
    }
    WDF_DEVICE_PNP_CAPABILITIES caps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
    caps.Removable = WdfTrue;
    caps.UniqueID = WdfTrue;
    caps.SurpriseRemovalOK = WdfTrue;
    caps.NoDisplayInUI = WdfFalse;
    caps.Address = 7;
    caps.UINumber = 7;
    WdfDeviceSetPnpCapabilities(child, &caps);
    status = WdfFdoAddStaticChild(parent, child);
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(child);
        return status;
    }
    *made = child;
    return STATUS_SUCCESS;
}

// A WDM driver that installs on the child by one of its IDs, as a class
// driver does: it attaches over the child and passes everything down.
namespace test_class {

struct Extension {
    PDEVICE_OBJECT lower;
};

PDEVICE_OBJECT g_device = nullptr;
// How long its device add takes, to hold a child in the middle of its add.
std::atomic<int> g_addDelayMs{0};

const char* PnpName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE:
        return "start";
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return "query remove";
    case IRP_MN_SURPRISE_REMOVAL:
        return "surprise removal";
    case IRP_MN_REMOVE_DEVICE:
        return "remove";
    case IRP_MN_QUERY_STOP_DEVICE:
        return "query stop";
    case IRP_MN_STOP_DEVICE:
        return "stop";
    default:
        return nullptr;
    }
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = static_cast<Extension*>(device->DeviceExtension)->lower;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP) {
        if (const char* name = PnpName(stack->MinorFunction)) {
            Hooks().Log(std::string("class ") + name);
        }
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(device);
            g_device = nullptr;
            return status;
        }
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Hooks().Log("class add");
    std::this_thread::sleep_for(std::chrono::milliseconds(g_addDelayMs.load()));
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    static_cast<Extension*>(device->DeviceExtension)->lower =
        IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    g_device = device;
    return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
        dispatch = Dispatch;
    }
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

} // namespace test_class

class PnpChildTest : public ::testing::Test {
  protected:
    PnpChildTest() {
        hooks().afterCreate = [this](WDFDEVICE device) {
            parent_ = device;
            return makeInAdd_ ? MakeChild(device, &child_) : STATUS_SUCCESS;
        };
        stack_->Install({"TestClass", test_class::Entry, {"usb\\ms_comp_test"}});
    }

    TestDriverHooks& hooks() { return scope_.hooks(); }
    size_t IndexOf(const std::string& event) {
        std::vector<std::string> events = hooks().Events();
        auto it = std::find(events.begin(), events.end(), event);
        EXPECT_NE(it, events.end()) << event;
        return it - events.begin();
    }
    Stack::DeviceId PlugWithChild() {
        Stack::DeviceId id = 0;
        EXPECT_EQ(stack_->Plug(sim::stick::ArcadeStick(0x0402), &id), STATUS_SUCCESS);
        if (!makeInAdd_) {
            EXPECT_EQ(MakeChild(parent_, &child_), STATUS_SUCCESS);
        }
        stack_->WaitIdle();
        return id;
    }
    // An IRP of the given major and minor function to the top of the child's stack.
    sim::io::IoResult SendToChild(UCHAR major, UCHAR minor, ULONG code = 0) {
        PDEVICE_OBJECT top = sim::io::TopOfStack(WdfDeviceWdmGetDeviceObject(child_));
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = major;
        stack->MinorFunction = minor;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        return sim::io::CallAndWait(top, irp);
    }

    sim::fault::Scope faults_;
    TestDriverScope scope_;
    size_t baseline_ = sim::wdf::LiveObjectCount();
    size_t devicesBefore_ = sim::io::LiveDeviceObjectCount();
    bool makeInAdd_ = false;
    WDFDEVICE parent_ = nullptr;
    WDFDEVICE child_ = nullptr;
    std::unique_ptr<Stack> stack_ = std::make_unique<Stack>(test_driver::DriverEntry);
};

TEST_F(PnpChildTest, TheChildIsEnumeratedWithItsIdentityAndItsDriverBoundByACompatibleId) {
    Stack::DeviceId id = PlugWithChild();
    std::vector<sim::pnp::ChildDevice> children = stack_->Children(id);
    ASSERT_EQ(children.size(), 1u);
    const sim::pnp::ChildDevice& child = children[0];
    EXPECT_EQ(child.pdo, WdfDeviceWdmGetDeviceObject(child_));
    EXPECT_EQ(child.pdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_BUS_EXTENDER));
    // The device ID was assigned the whole list: read as one string, it is the first.
    EXPECT_EQ(child.deviceId, kHardwareIds[0]);
    EXPECT_EQ(child.hardwareIds, kHardwareIds);
    EXPECT_EQ(child.compatibleIds, kCompatibleIds);
    EXPECT_EQ(child.instanceIdOnBus, "07");
    EXPECT_EQ(child.instanceId, kHardwareIds[0] + "\\07"); // UniqueID: no parent prefix
    EXPECT_EQ(child.description, "Controller");
    EXPECT_EQ(child.location, "Under the stick");
    EXPECT_EQ(child.capabilities.Removable, 1u);
    EXPECT_EQ(child.capabilities.UniqueID, 1u);
    EXPECT_EQ(child.capabilities.SurpriseRemovalOK, 1u);
    EXPECT_EQ(child.capabilities.LockSupported, 0u); // left to the bus
    EXPECT_EQ(child.capabilities.Address, 7u);
    EXPECT_EQ(child.capabilities.UINumber, 7u);
    EXPECT_EQ(child.service, "TestClass");
    EXPECT_EQ(child.state, DeviceState::Started);
    EXPECT_LT(IndexOf("class add"), IndexOf("class start"));

    ASSERT_EQ(stack_->Unplug(id), STATUS_SUCCESS);
    // The child goes first, surprise removal and removal alike; its object
    // is deleted with its parent's, before the parent's cleanup.
    EXPECT_LT(IndexOf("class surprise removal"), IndexOf("surprise removal"));
    EXPECT_LT(IndexOf("release"), IndexOf("class remove"));
    EXPECT_LT(IndexOf("class remove"), IndexOf("child cleanup"));
    EXPECT_LT(IndexOf("child cleanup"), IndexOf("context cleanup"));
    EXPECT_EQ(stack_->Children(id)[0].state, DeviceState::Removed);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), baseline_ + 1);
    EXPECT_EQ(sim::io::LiveDeviceObjectCount(), devicesBefore_);
}

// Another thread reads the list of children while the PnP manager adds one
// (as a test or a tool checks for the emulated controller): everything the
// list reports of a child in its add is written under the list's lock, so
// the reader sees a whole child at every step, and ThreadSanitizer sees no
// race with a service or status written beside the read.
TEST_F(PnpChildTest, TheChildListCanBeReadWhileAChildIsAdded) {
    Stack::DeviceId id = 0;
    ASSERT_EQ(stack_->Plug(sim::stick::ArcadeStick(0x0402), &id), STATUS_SUCCESS);
    test_class::g_addDelayMs = 20;
    std::atomic<bool> done{false};
    std::atomic<int> seenInAdd{0};
    std::thread reader([&] {
        while (!done) {
            for (const sim::pnp::ChildDevice& child : stack_->Children(id)) {
                if (child.service == "TestClass" && child.state == DeviceState::NoDriver) {
                    ++seenInAdd;
                }
            }
        }
    });
    ASSERT_EQ(MakeChild(parent_, &child_), STATUS_SUCCESS);
    stack_->WaitIdle();
    done = true;
    reader.join();
    test_class::g_addDelayMs = 0;

    EXPECT_GT(seenInAdd.load(), 0); // the reads met the child in its add
    std::vector<sim::pnp::ChildDevice> children = stack_->Children(id);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].addStatus, STATUS_SUCCESS);
    EXPECT_EQ(children[0].startStatus, STATUS_SUCCESS);
    EXPECT_EQ(children[0].state, DeviceState::Started);
}

// A driver thread adds the child while the PnP manager asks the parent for
// its bus relations over and over, as the reader adds the emulated
// controller at any moment: the framework publishes the child whole, and the
// query reads the list under the device's lock, so ThreadSanitizer sees no
// race and the child is reported, bound and started once.
TEST_F(PnpChildTest, AChildAddedWhileTheBusIsAskedAgainAndAgainIsReportedOnceAndWhole) {
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Stack::DeviceId id = 0;
        ASSERT_EQ(stack_->Plug(sim::stick::ArcadeStick(0x0402), &id), STATUS_SUCCESS);
        PDEVICE_OBJECT pdo = sim::io::BottomOfStack(WdfDeviceWdmGetDeviceObject(parent_));
        std::atomic<bool> done{false};
        std::thread asker([&] {
            while (!done) {
                IoInvalidateDeviceRelations(pdo, BusRelations);
                stack_->WaitIdle();
            }
        });
        ASSERT_EQ(MakeChild(parent_, &child_), STATUS_SUCCESS);
        stack_->WaitIdle();
        done = true;
        asker.join();
        std::vector<sim::pnp::ChildDevice> children = stack_->Children(id);
        ASSERT_EQ(children.size(), 1u);
        EXPECT_EQ(children[0].service, "TestClass");
        EXPECT_EQ(children[0].state, DeviceState::Started);
        ASSERT_EQ(stack_->Unplug(id), STATUS_SUCCESS);
    }
}

TEST_F(PnpChildTest, AChildMadeBeforeItsParentStartsIsReportedOnceItStarts) {
    makeInAdd_ = true;
    Stack::DeviceId id = PlugWithChild();
    ASSERT_EQ(stack_->Children(id).size(), 1u);
    EXPECT_EQ(stack_->Children(id)[0].state, DeviceState::Started);
    // Orderly removal asks the child first.
    EXPECT_EQ(stack_->Remove(id), STATUS_SUCCESS);
    EXPECT_LT(IndexOf("class query remove"), IndexOf("class remove"));
    EXPECT_LT(IndexOf("class remove"), IndexOf("context cleanup"));
}

TEST_F(PnpChildTest, ARestartStopsTheChildBeforeItsParentAndStartsItAfter) {
    Stack::DeviceId id = PlugWithChild();
    size_t before = hooks().Events().size();
    ASSERT_EQ(stack_->Restart(id), STATUS_SUCCESS);
    std::vector<std::string> all = hooks().Events();
    std::vector<std::string> events(all.begin() + before, all.end());
    EXPECT_EQ(events,
              (std::vector<std::string>{"class query stop", "query stop", "class stop",
                                        "self-managed I/O suspend", "D0 exit", "release", "prepare",
                                        "D0 entry", "self-managed I/O restart", "class start"}));
    ASSERT_EQ(stack_->Children(id).size(), 1u);
    EXPECT_EQ(stack_->Children(id)[0].state, DeviceState::Started);
    // Still the same child, still answering.
    EXPECT_EQ(stack_->Children(id)[0].pdo, WdfDeviceWdmGetDeviceObject(child_));
}

TEST_F(PnpChildTest, PreprocessCallbacksGetOnlyTheirMinorFunctionsAndOwnTheIrp) {
    PlugWithChild();
    auto preprocessed = [this] {
        std::vector<std::string> events = hooks().Events();
        return std::count_if(events.begin(), events.end(), [](const std::string& e) {
            return e.rfind("preprocess pnp", 0) == 0;
        });
    };
    // The PnP manager's identity queries and the start went to the framework.
    EXPECT_EQ(preprocessed(), 0);

    sim::io::IoResult result = SendToChild(IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    result = SendToChild(IRP_MJ_PNP, IRP_MN_QUERY_BUS_INFORMATION);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED); // the framework's: status as it came
    result = SendToChild(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 0x220003);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0x220003u);
    // No handler and nothing below: the framework refuses it.
    result = SendToChild(IRP_MJ_DEVICE_CONTROL, 0, 0x220003);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    std::vector<std::string> events = hooks().Events();
    EXPECT_EQ(preprocessed(), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "preprocess pnp 8"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "preprocess internal"), 1);
}

TEST_F(PnpChildTest, EveryChildServiceThatCanFailReportsItsStatusAndLeavesNothingBehind) {
    Stack::DeviceId id = 0;
    ASSERT_EQ(stack_->Plug(sim::stick::ArcadeStick(0x0402), &id), STATUS_SUCCESS);
    for (const char* service :
         {"WdfPdoInitAllocate", "WdfDeviceInitAssignSDDLString", "WdfPdoInitAssignDeviceID",
          "WdfPdoInitAddHardwareID", "WdfPdoInitAddCompatibleID", "WdfPdoInitAssignInstanceID",
          "WdfPdoInitAddDeviceText", "WdfDeviceInitAssignWdmIrpPreprocessCallback",
          "WdfDeviceCreate", "WdfFdoAddStaticChild"}) {
        SCOPED_TRACE(service);
        size_t live = sim::wdf::LiveObjectCount();
        size_t devices = sim::io::LiveDeviceObjectCount();
        sim::fault::FailNthCall(service, 1, STATUS_DATA_ERROR);
        WDFDEVICE child = nullptr;
        NTSTATUS expected = std::string(service) == "WdfPdoInitAllocate"
                                ? STATUS_INSUFFICIENT_RESOURCES
                                : STATUS_DATA_ERROR;
        EXPECT_EQ(MakeChild(parent_, &child), expected);
        EXPECT_EQ(child, nullptr);
        stack_->WaitIdle();
        EXPECT_TRUE(stack_->Children(id).empty());
        EXPECT_EQ(sim::wdf::LiveObjectCount(), live);
        EXPECT_EQ(sim::io::LiveDeviceObjectCount(), devices);
        sim::fault::Reset();
    }
    // The child deleted after the failed WdfFdoAddStaticChild ran its cleanup.
    std::vector<std::string> events = hooks().Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "child cleanup"), 1);
    // Unload would stop on an init record left behind: none is.
    EXPECT_EQ(stack_->Unload(), STATUS_SUCCESS);
}

TEST_F(PnpChildTest, MisusedChildServicesStopTheVerifier) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Stack::DeviceId id = PlugWithChild();
    EXPECT_DEATH(WdfObjectDelete(child_), "framework object the driver may not delete");
    EXPECT_DEATH(WdfFdoAddStaticChild(parent_, child_), "added twice");
    EXPECT_DEATH(WdfPdoInitAllocate(child_), "not a function or filter device");
    EXPECT_DEATH(
        {
            PWDFDEVICE_INIT init = WdfPdoInitAllocate(parent_);
            WdfDeviceInitFree(init);
            WdfDeviceInitFree(init);
        },
        "WDFDEVICE_INIT of a child device misused");
    EXPECT_DEATH(
        {
            WdfPdoInitAllocate(parent_);
            stack_->Unplug(id);
            stack_->Unload();
        },
        "never freed|neither given to WdfDeviceCreate nor freed");
}

} // namespace
} // namespace quillex_test

// The PnP manager stopping and starting a device again: release and prepare
// hardware run again on the same device, handles held by several openers
// stay open and their reads go on, a refused query-stop leaves the device
// running, and a device that cannot start again is taken down.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/core/fault.h"
#include "sim/hid/collection.h"
#include "sim/io/file.h"
#include "sim/peers/stick/stick.h"
#include "sim/peers/stick/plug.h"
#include "sim/pnp/stack.h"
#include "tests/support/kernel_read.h"
#include "tests/support/test_filter_driver.h"

namespace quillex_test {
namespace {

using sim::pnp::DeviceState;
using sim::pnp::Stack;

class PnpRestartTest : public ::testing::Test {
  protected:
    TestDriverHooks& hooks() { return scope_.hooks(); }
    void Plug() { ASSERT_EQ(stack_.Plug(sim::stick::ArcadeStick(0x0402), &id_), STATUS_SUCCESS); }
    // The driver's PnP events since 'from'.
    std::vector<std::string> EventsSince(size_t from) {
        std::vector<std::string> events = hooks().Events();
        return std::vector<std::string>(events.begin() + std::min(from, events.size()),
                                        events.end());
    }
    PDEVICE_OBJECT Top() { return WdfDeviceWdmGetDeviceObject(stack_.FunctionDevice(id_)); }

    sim::fault::Scope faults_;
    TestDriverScope scope_;
    Stack stack_{test_driver::DriverEntry};
    Stack::DeviceId id_ = 0;
};

TEST_F(PnpRestartTest, ARestartReleasesAndPreparesTheSameDeviceWhileItsOpenersReadOn) {
    Plug();
    WDFDEVICE device = stack_.FunctionDevice(id_);
    sim::io::File app, other;
    ASSERT_EQ(app.Open(stack_.PdoName(id_), GENERIC_READ), STATUS_SUCCESS);
    ASSERT_EQ(other.Open(stack_.PdoName(id_), GENERIC_READ), STATUS_SUCCESS);
    KernelRead waiting(Top(), app.FileObject(), 20);
    ASSERT_EQ(waiting.sent(), STATUS_PENDING);

    size_t before = hooks().Events().size();
    ASSERT_EQ(stack_.Restart(id_), STATUS_SUCCESS);
    EXPECT_EQ(
        EventsSince(before),
        (std::vector<std::string>{"query stop", "self-managed I/O suspend", "D0 exit", "release",
                                  "prepare", "D0 entry", "self-managed I/O restart"}));
    EXPECT_EQ(stack_.State(id_), DeviceState::Started);
    EXPECT_EQ(stack_.FunctionDevice(id_), device);
    std::vector<UCHAR> pnp = stack_.Hid(id_)->PnpLog();
    EXPECT_EQ(
        std::vector<UCHAR>(pnp.end() - 3, pnp.end()),
        (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}));

    // Both openers kept their handles; the read that waited through the
    // restart gets the next report, and so does the other open.
    EXPECT_EQ(stack_.Hid(id_)->OpenCount(), 2u);
    EXPECT_FALSE(waiting.Finished());
    sim::stick::Stick stick(stack_.Hid(id_));
    std::vector<uint8_t> report = sim::stick::Encode(sim::stick::Layout::A, {});
    ASSERT_EQ(stick.Send(report), STATUS_SUCCESS);
    EXPECT_EQ(waiting.Wait().Status, STATUS_SUCCESS);
    UCHAR read[20] = {};
    ULONG_PTR got = 0;
    EXPECT_EQ(other.Read(read, sizeof(read), &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 20u);

    // Again and again, and a new opener joins while it runs.
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(stack_.Restart(id_), STATUS_SUCCESS) << i;
    }
    sim::io::File third;
    ASSERT_EQ(third.Open(stack_.PdoName(id_), GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(stack_.Hid(id_)->OpenCount(), 3u);
    std::vector<std::string> events = hooks().Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "prepare"), 12); // with the first start
    EXPECT_EQ(std::count(events.begin(), events.end(), "release"), 11);
}

TEST_F(PnpRestartTest, ARefusedQueryStopLeavesTheDeviceRunning) {
    Plug();
    hooks().queryStop = [](WDFDEVICE) { return STATUS_DEVICE_BUSY; };
    size_t before = hooks().Events().size();
    EXPECT_EQ(stack_.Restart(id_), STATUS_DEVICE_BUSY);
    EXPECT_EQ(EventsSince(before), (std::vector<std::string>{"query stop"}));
    EXPECT_EQ(stack_.State(id_), DeviceState::Started);
    // The refusal is taken back down the whole stack.
    EXPECT_EQ(stack_.Hid(id_)->PnpLog().back(), IRP_MN_CANCEL_STOP_DEVICE);

    // Stop and start only from the state they leave.
    EXPECT_EQ(stack_.Start(id_), STATUS_INVALID_DEVICE_STATE);
    hooks().queryStop = nullptr;
    ASSERT_EQ(stack_.Stop(id_), STATUS_SUCCESS);
    EXPECT_EQ(stack_.State(id_), DeviceState::Stopped);
    EXPECT_EQ(stack_.Stop(id_), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(stack_.Start(id_), STATUS_SUCCESS);
    EXPECT_EQ(stack_.State(id_), DeviceState::Started);
}

TEST_F(PnpRestartTest, ADeviceThatCannotStartAgainIsTakenDown) {
    Plug();
    ASSERT_EQ(stack_.Stop(id_), STATUS_SUCCESS);
    hooks().prepareStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(stack_.Start(id_), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(stack_.State(id_), DeviceState::StartFailed);
    EXPECT_EQ(stack_.StartStatus(id_), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(stack_.FunctionDevice(id_), nullptr);
    std::vector<std::string> events = hooks().Events();
    EXPECT_EQ(events.back(), "context cleanup");
}

} // namespace
} // namespace quillex_test

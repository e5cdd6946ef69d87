// Faults the fault-injection sweep found, each as the life that showed it.
#include <gtest/gtest.h>

#include "sim/peers/stick/raw_reports.h"
#include "sim/peers/stick/stick.h"
#include "tests/support/reader_stack.h"

namespace quillex_test {
namespace {

using FaultRegressionTest = ReaderStackTest;

// The reader thread started, but the launcher could not take a reference on
// it: the thread is still the device's reader. A later open must not start a
// second one beside it, and a restart must stop it and wait for it before its
// request and buffers go.
TEST_F(FaultRegressionTest, AReaderThatCouldNotBeReferencedIsStillStoppedAndWaitedFor) {
    DeviceId id = PlugStick(0x0402);
    sim::fault::FailNthCall("ObReferenceObjectByHandle", 1, STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    EXPECT_TRUE(trace_.Contains("Quillex!ThreadLaunch: Error - ObReferenceObjectByHandle failed"));
    PassStartupWait(id);
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 1u);

    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 1u); // no second reader
    EXPECT_EQ(stack_.Hid(id)->WaitingReads(), 1u);

    // The stop reaches the unreferenced reader and teardown waits for it.
    ASSERT_EQ(stack_.Restart(id), STATUS_SUCCESS);
    EXPECT_TRUE(sim::kernel::WaitForSystemThreads());
    EXPECT_TRUE(trace_.Contains("QuillexHidReaderThread: <1> Stop event"));
    EXPECT_TRUE(trace_.Contains("Deleted InputReportWdfRequest"));

    // Restarted, the next open starts a reader that reads.
    ASSERT_EQ(OpenApp(id), STATUS_SUCCESS);
    PassStartupWait(id);
    sim::stick::Stick stick(stack_.Hid(id));
    ASSERT_EQ(stick.Send(sim::stick::Encode(sim::stick::Layout::A, sim::stick::StickState())),
              STATUS_SUCCESS);
    EXPECT_TRUE(WaitUntil([&] { return stack_.Hid(id)->WaitingReads() == 1; }));
    CloseApps();
    ASSERT_EQ(stack_.Remove(id), STATUS_SUCCESS);
}

} // namespace
} // namespace quillex_test

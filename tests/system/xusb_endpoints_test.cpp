// The emulated controller's endpoints in the whole stack: input reports to the
// class driver's waiting transfers, cancellation, LED commands, and the
// child's removal with transfers still out.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/core/race.h"
#include "sim/kernel/thread_state.h"

#include "tests/support/controller_stack.h"

namespace quillex_test {
namespace {

using sim::stick::StickState;
using sim::xbox::Controller;
using sim::xbox::Gamepad;

Gamepad PadOf(const XboxReport& report) {
    Gamepad pad;
    EXPECT_TRUE(sim::xbox::DecodeReport(report.data(), report.size(), &pad));
    return pad;
}

class XusbEndpointTest : public XusbStackTest {
  protected:
    // The class driver configures the child but sends no transfer and no LED
    // command of its own; each test sends what it needs.
    void Plug(bool cancelOnRemove = true) {
        sim::xbox::Options options;
        options.transfers = 0;
        options.startLed = -1;
        options.cancelOnRemove = cancelOnRemove;
        InstallClassDriver(options);
        p_ = PlugWithController();
        ASSERT_NE(p_.controller, nullptr);
        c_ = p_.controller.get();
    }
    // Uses up the two fixed reports with one transfer that then waits.
    void PassFixedStages() {
        c_->StartTransfers(1);
        ASSERT_TRUE(c_->WaitOutstanding(1));
        ASSERT_EQ(c_->CompletionCount(), 2u);
    }
    // Completions from the nth on.
    std::vector<Controller::Completion> From(size_t nth) {
        std::vector<Controller::Completion> all = c_->Completions();
        return std::vector<Controller::Completion>(all.begin() + std::min(nth, all.size()),
                                                   all.end());
    }

    // Cancels a transfer of the class driver from a thread of the test's, as
    // any thread may; the transfer's cancel routine runs on it.
    static std::thread CancelOnItsOwnThread(PIRP irp) {
        return std::thread([irp] {
            sim::kernel::SetCurrentThreadName("canceller");
            EXPECT_TRUE(IoCancelIrp(irp));
        });
    }

    // One transfer came back since the nth completion, cancelled by its
    // cancel routine after someone else had unlinked it.
    void ExpectOneCancelledByItsRoutineSince(size_t nth) {
        ASSERT_TRUE(c_->WaitOutstanding(0));
        std::vector<Controller::Completion> done = From(nth);
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].status, STATUS_CANCELLED);
        EXPECT_EQ(trace_.Count("Quillex!EP1CancelRoutine: 0 --\n"), 1u);
    }

    // The stick's report reaches the child through the reader.
    NTSTATUS Deliver(const StickState& state) { return XusbStackTest::Deliver(p_.id, state); }
    Gamepad PadFor(const StickState& state) { return PadOf(Expected(p_.id, state)); }

    Plugged p_;
    Controller* c_ = nullptr;
};

TEST_F(XusbEndpointTest, ReportsGoToWaitingTransfersOldestFirstAndTheLatestWaitsForTheNext) {
    Plug();
    PassFixedStages();
    c_->StartTransfers(1, 32, false); // a second waits behind the first; none goes again
    ASSERT_TRUE(c_->WaitOutstanding(2));

    // A at full right trigger with the left stick in its corner; guide with
    // a touch of left trigger, the right stick the other way.
    StickState a = Pressing(sim::stick::A);
    a.rightTrigger = 255;
    a.leftX = 0;
    a.leftY = 0;
    StickState b = Pressing(sim::stick::Power);
    b.leftTrigger = 10;
    b.leftX = 129;
    b.leftY = 127;
    b.rightX = 255;
    b.rightY = 0;
    StickState latest; // everything released
    EXPECT_EQ(Deliver(a), STATUS_SUCCESS);
    EXPECT_EQ(Deliver(b), STATUS_SUCCESS);
    EXPECT_EQ(Deliver(Pressing(sim::stick::Y)), STATUS_DEVICE_NOT_READY);
    // A newer report replaces it; the hand-over fails the same way.
    EXPECT_EQ(Deliver(latest), STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(trace_.Contains(
        "Quillex!HandleXusbInputReport: ERROR, Event Received without a Valid IRP.\n"));

    std::vector<Controller::Completion> done = From(2);
    ASSERT_EQ(done.size(), 2u);
    for (const Controller::Completion& completion : done) {
        EXPECT_EQ(completion.status, STATUS_SUCCESS);
        EXPECT_EQ(completion.information, 0u);
        EXPECT_EQ(completion.irql, DISPATCH_LEVEL);
        EXPECT_TRUE(completion.isReport);
        // The class driver sees 20 bytes come back into its 32-byte buffer.
        EXPECT_EQ(completion.length, 20u);
        EXPECT_EQ(completion.usbdStatus, USBD_STATUS_SUCCESS);
    }
    EXPECT_EQ(done[0].pad, PadFor(a));
    EXPECT_EQ(done[0].pad.buttons, sim::xbox::kA);
    EXPECT_EQ(done[0].pad.rightTrigger, 255);
    EXPECT_EQ(done[0].pad.thumbLX, -32768);
    EXPECT_EQ(done[1].pad, PadFor(b));
    EXPECT_EQ(done[1].pad.leftTrigger, 10);
    EXPECT_EQ(done[1].pad.thumbRX, 32512);

    // The next poll gets the current state (the released button) at once.
    c_->StartTransfers(1, 32, false);
    ASSERT_TRUE(c_->WaitCompletions(5));
    EXPECT_EQ(From(4)[0].pad, PadFor(latest));
    EXPECT_EQ(From(4)[0].length, 20u);
    EXPECT_EQ(c_->GamepadState(), PadFor(latest));
    EXPECT_EQ(c_->GamepadState().buttons, 0u);
    EXPECT_EQ(c_->Outstanding(), 0u);
    c_->StartTransfers(1, 32, false); // the one after waits again
    ASSERT_TRUE(c_->WaitOutstanding(1));
    EXPECT_EQ(Deliver(a), STATUS_SUCCESS);
    ASSERT_TRUE(c_->WaitCompletions(6));
    EXPECT_EQ(From(5)[0].pad, PadFor(a));
}

TEST_F(XusbEndpointTest, ATransferTooShortForAReportComesBackEmpty) {
    Plug();
    PassFixedStages();
    c_->StartTransfers(1, 19);
    ASSERT_TRUE(c_->WaitCompletions(3));
    Controller::Completion shortOne = From(2)[0];
    EXPECT_EQ(shortOne.status, STATUS_SUCCESS);
    EXPECT_FALSE(shortOne.isReport);
    EXPECT_EQ(shortOne.length, 0u);
    EXPECT_TRUE(trace_.Contains("ERROR Wrong Length for input report!!! 19\n"));
}

TEST_F(XusbEndpointTest, CancelledTransfersComeBackCancelledWhetherWaitingOrCancelledOnTheWay) {
    Plug();
    PassFixedStages();
    c_->StartTransfers(1);
    ASSERT_TRUE(c_->WaitOutstanding(2));
    c_->CancelTransfers();
    ASSERT_TRUE(c_->WaitOutstanding(0));
    std::vector<Controller::Completion> cancelled = From(2);
    ASSERT_EQ(cancelled.size(), 2u);
    for (const Controller::Completion& completion : cancelled) {
        EXPECT_EQ(completion.status, STATUS_CANCELLED);
        EXPECT_EQ(completion.information, 0u);
        EXPECT_EQ(completion.length, 0u);
        EXPECT_EQ(completion.usbdStatus, USBD_STATUS_CANCELED);
    }
    EXPECT_EQ(trace_.Count("Quillex!EP1CancelRoutine: 1 --\n"), 2u);
    // The list is empty: a report finds nobody.
    EXPECT_EQ(Deliver(Pressing(sim::stick::A)), STATUS_DEVICE_NOT_READY);

    // Cancelled before it could be queued: back at once, without the cancel
    // routine. (The report just kept answers the first new transfer; the
    // second waits.)
    c_->StartTransfers(2, 32, false);
    ASSERT_TRUE(c_->WaitOutstanding(1));
    size_t before = c_->CompletionCount();
    c_->SendCancelledTransfer();
    ASSERT_TRUE(c_->WaitCompletions(before + 1));
    EXPECT_EQ(From(before)[0].status, STATUS_CANCELLED);
    EXPECT_EQ(trace_.Count("Quillex!EP1CancelRoutine: ++\n"), 2u);
    EXPECT_EQ(c_->Outstanding(), 1u); // the waiting one is still there
}

// A report reaches the oldest waiting transfer just after the system took
// that transfer's cancel routine, before calling it: the transfer belongs to
// its cancel routine now. The report must neither complete it nor write into
// its buffer; it goes to the next waiting transfer instead.
TEST_F(XusbEndpointTest, ACancelRacingAReportCompletesTheTransferExactlyOnce) {
    Plug();
    PassFixedStages();
    c_->CancelTransfers();
    ASSERT_TRUE(c_->WaitOutstanding(0));
    size_t before = c_->CompletionCount();
    c_->StartTransfers(2, 32, false);
    ASSERT_TRUE(c_->WaitOutstanding(2));
    PIRP oldest = c_->OutstandingIrps().at(0);

    sim::race::Pause taken(sim::race::kCancelRoutineTaken, oldest);
    std::thread canceller = CancelOnItsOwnThread(oldest);
    ASSERT_TRUE(taken.WaitHit());
    StickState report = Pressing(sim::stick::A);
    report.leftTrigger = 7;
    EXPECT_EQ(Deliver(report), STATUS_SUCCESS);
    taken.Release();
    canceller.join();

    ASSERT_TRUE(c_->WaitOutstanding(0));
    std::vector<Controller::Completion> done = From(before);
    ASSERT_EQ(done.size(), 2u);
    const Controller::Completion& cancelled =
        done[0].status == STATUS_CANCELLED ? done[0] : done[1];
    const Controller::Completion& delivered = &cancelled == &done[0] ? done[1] : done[0];
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, 0u);
    EXPECT_EQ(cancelled.bytes, (std::array<uint8_t, sim::xbox::kReportLength>{}))
        << "the report was written into a transfer its cancel routine owned";
    EXPECT_EQ(delivered.status, STATUS_SUCCESS);
    EXPECT_EQ(delivered.pad, PadFor(report));
    EXPECT_EQ(trace_.Count("Quillex!EP1CancelRoutine: 0 --\n"), 1u); // unlinked by the report
}

// A transfer is cancelled while it is being queued: the system takes the
// cancel routine the queueing path has just installed, before that path looks
// at the Cancel flag. The transfer is its cancel routine's; the dispatch
// routine returns STATUS_PENDING for it, having marked it pending, and the
// routine completes it once.
TEST_F(XusbEndpointTest, ATransferCancelledAsItIsQueuedBelongsToItsCancelRoutine) {
    Plug();
    PassFixedStages();
    c_->CancelTransfers();
    ASSERT_TRUE(c_->WaitOutstanding(0));
    size_t before = c_->CompletionCount();

    sim::race::Pause installed(sim::race::kCancelRoutineInstalled, nullptr, sim::race::Pause::Hold,
                               "xusb22");
    std::thread sender([&] { c_->StartTransfers(1, 32, false); });
    ASSERT_TRUE(installed.WaitHit());
    PIRP irp = c_->OutstandingIrps().at(0);
    sim::race::Pause taken(sim::race::kCancelRoutineTaken, irp);
    std::thread canceller = CancelOnItsOwnThread(irp);
    ASSERT_TRUE(taken.WaitHit());
    installed.Release(); // the queueing path finds the Cancel flag and the routine gone
    sender.join();
    EXPECT_EQ(c_->CompletionCount(), before); // not completed by the queueing path
    taken.Release();
    canceller.join();

    ExpectOneCancelledByItsRoutineSince(before);
}

class XusbChildGoesWhileCancelled : public XusbEndpointTest {
  protected:
    // One waiting transfer; the class driver leaves without cancelling, so
    // the child's own cleanup meets the cancel the test runs. The stick is
    // unplugged while an application holds it: its hardware is released and
    // the reader stopped (its read cancelled) before the test takes the
    // cancel spin lock, and the child goes with its parent once the handle
    // closes.
    void SetUp() override {
        XusbEndpointTest::SetUp();
        Plug(/*cancelOnRemove=*/false);
        PassFixedStages();
        c_->CancelTransfers();
        ASSERT_TRUE(c_->WaitOutstanding(0));
        before_ = c_->CompletionCount();
        c_->StartTransfers(1, 32, false);
        ASSERT_TRUE(c_->WaitOutstanding(1));
        irp_ = c_->OutstandingIrps().at(0);
        ASSERT_EQ(holder_.Open(stack_.Interfaces(p_.id).at(0), GENERIC_READ), STATUS_SUCCESS);
        ASSERT_EQ(stack_.Unplug(p_.id), STATUS_SUCCESS);
        ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
        ASSERT_EQ(c_->Outstanding(), 1u);
    }

    // Closes the last handle on a thread of its own until 'reached' shows
    // the child's cleanup waiting, or the removal is over without waiting.
    void RemoveUntil(const sim::race::Pause& reached) {
        removed_ = false;
        remover_ = std::thread([this] {
            holder_.Close();
            stack_.WaitRemoved(p_.id);
            removed_ = true;
        });
        EXPECT_TRUE(WaitFor([&] { return reached.Hit() || removed_.load(); }));
    }

    void ExpectCancelledOnce() {
        remover_.join();
        ExpectOneCancelledByItsRoutineSince(before_);
        EXPECT_TRUE(trace_.Contains("Quillex!XusbPdoCleanup: --\n"));
    }

    size_t before_ = 0;
    PIRP irp_ = nullptr;
    sim::io::File holder_;
    std::atomic<bool> removed_{false};
    std::thread remover_;
};

// The cancel routine has released the cancel spin lock and not yet reached
// the child's context when the child goes: the cleanup must already count it
// and wait for it, or the routine uses a freed context.
TEST_F(XusbChildGoesWhileCancelled, TheCleanupWaitsForACancelRoutinePastTheCancelLock) {
    sim::race::Pause released(sim::race::kCancelLockReleasedByRoutine, irp_);
    std::thread canceller = CancelOnItsOwnThread(irp_);
    ASSERT_TRUE(released.WaitHit());
    sim::race::Pause waiting(sim::race::kRundownWaiting, nullptr, sim::race::Pause::Note, "pnp");
    RemoveUntil(waiting);
    EXPECT_TRUE(waiting.Hit()) << "the cleanup did not wait for the cancel routine";
    released.Release();
    canceller.join();
    ExpectCancelledOnce();
}

// The system has taken the transfer's cancel routine (holding the cancel
// spin lock) and not yet called it when the child goes: the cleanup must
// pass through the cancel spin lock, so that the routine has counted itself
// before the cleanup looks at the count.
TEST_F(XusbChildGoesWhileCancelled, TheCleanupWaitsForACancelRoutineTheSystemHasTaken) {
    sim::race::Pause taken(sim::race::kCancelRoutineTaken, irp_);
    std::thread canceller = CancelOnItsOwnThread(irp_);
    ASSERT_TRUE(taken.WaitHit());
    sim::race::Pause barrier(sim::race::kCancelLockContended, nullptr, sim::race::Pause::Note,
                             "pnp");
    RemoveUntil(barrier);
    EXPECT_TRUE(barrier.Hit()) << "the cleanup went on without passing the cancel spin lock";
    taken.Release();
    canceller.join();
    ExpectCancelledOnce();
}

TEST_F(XusbEndpointTest, LedCommandsBecomeLedStatesThroughTheirTableAtPassiveLevel) {
    Plug();
    const UCHAR expected[14] = {0, 0, 2, 3, 4, 5, 2, 3, 4, 5, 0, 0, 0, 0};
    for (UCHAR command = 0; command < 14; ++command) {
        SCOPED_TRACE(static_cast<int>(command));
        // Marks the state so that each command is seen to land.
        MarkLedState(p_.context, 0xAA);
        // Odd commands come from a completion-routine-like caller at DISPATCH_LEVEL.
        EXPECT_EQ(c_->SendLed(command, command % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL),
                  STATUS_SUCCESS);
        EXPECT_TRUE(WaitFor([&] { return LedStateOf(p_.context) == expected[command]; }));
    }
    // Nothing else reaches the LED state: no "Write LED State" for them.
    size_t writes = trace_.Count("Quillex!HandleXboxLEDDecode: Write LED State");
    EXPECT_EQ(c_->SendLed(0x0E), STATUS_SUCCESS);
    EXPECT_TRUE(trace_.Contains(
        "Quillex!HandleXboxLEDDecode: ERROR LED Byte note covered by mapping table\n"));
    EXPECT_EQ(c_->SendOutput({0x03, 0x03, 0x00}), STATUS_SUCCESS);
    EXPECT_TRUE(trace_.Contains("Rumble, do nothing for now\n"));
    EXPECT_EQ(c_->SendOutput({0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), STATUS_SUCCESS);
    EXPECT_EQ(c_->SendOutput({0x01, 0x03}), STATUS_SUCCESS);
    EXPECT_TRUE(trace_.Contains("Quillex!HandleEP2InterruptOutURB: ERROR Unexpected Transfer "
                                "Buffer Too Small.  Size: 2, Expected Size 3\n"));
    EXPECT_EQ(trace_.Count("Quillex!HandleXboxLEDDecode: Write LED State"), writes);
}

// The stick goes while an application holds it open: the child and its parent
// are surprise-removed, the parent's hardware is released and the child marked
// removed, but both stay until the handle is closed.
TEST_F(XusbEndpointTest, AfterTheParentReleasesItsHardwareTheChildRefusesEverything) {
    Plug();
    PassFixedStages();
    sim::io::File app;
    ASSERT_EQ(app.Open(stack_.Interfaces(p_.id).at(0), GENERIC_READ), STATUS_SUCCESS);
    PXUSB_PDO_DEVICE_DATA data = XusbPdoGetData(p_.child);
    const UCHAR stages[4] = {data->ConfigDescriptorState, data->StringDescriptorState,
                             data->Ep1InState, data->VendorRequestState};
    ASSERT_EQ(stack_.Unplug(p_.id), STATUS_SUCCESS);
    ASSERT_TRUE(QuillexReadFlag(&data->bRemoved));
    // Only the mark changed.
    const UCHAR after[4] = {data->ConfigDescriptorState, data->StringDescriptorState,
                            data->Ep1InState, data->VendorRequestState};
    EXPECT_EQ(memcmp(stages, after, sizeof(stages)), 0);
    EXPECT_FALSE(IsListEmpty(&data->PendingEp1Irps));
    EXPECT_FALSE(QuillexReadFlag(&p_.context->PdoCreated));
    EXPECT_EQ(p_.context->XusbPdo, p_.child);

    std::vector<uint8_t> buffer(18);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer.data(), nullptr, 18,
                                 nullptr);
    EXPECT_EQ(c_->SubmitUrb(&urb), STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(c_->SendInternalIoctl(IOCTL_INTERNAL_USB_RESET_PORT, nullptr),
              STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(c_->SendLed(0x06), STATUS_DEVICE_DOES_NOT_EXIST);
    // The reader stopped with the hardware: the stick's next report reaches
    // nobody, and the waiting transfer stays.
    size_t completions = c_->CompletionCount();
    EXPECT_EQ(
        StickOf(p_.id).Send(sim::stick::Encode(sim::stick::Layout::A, Pressing(sim::stick::A))),
        STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(c_->Outstanding(), 1u);
    EXPECT_EQ(c_->CompletionCount(), completions);
    // The bus interface is still offered.
    USB_BUS_INTERFACE_USBDI_V1 bus{};
    EXPECT_EQ(c_->QueryInterface(USB_BUS_INTERFACE_USBDI_GUID, sizeof(bus), 1,
                                 reinterpret_cast<PINTERFACE>(&bus)),
              STATUS_SUCCESS);

    // The handle goes: the class driver cancels its transfer and leaves, the
    // child is deleted with its parent and clears the parent's handle first.
    app.Close();
    stack_.WaitRemoved(p_.id);
    EXPECT_EQ(c_->GetState(), Controller::State::Removed);
    EXPECT_EQ(c_->Completions().back().status, STATUS_CANCELLED);
    EXPECT_TRUE(trace_.Contains("Quillex!XusbPdoCleanup: --\n"));
}

TEST_F(XusbEndpointTest, RemovalWithTransfersOutIsCleanWhoeverFinishesThem) {
    // The class driver cancels its transfers on removal.
    Plug();
    PassFixedStages();
    c_->StartTransfers(2);
    ASSERT_TRUE(c_->WaitOutstanding(3));
    ASSERT_EQ(stack_.Unplug(p_.id), STATUS_SUCCESS);
    EXPECT_EQ(c_->GetState(), Controller::State::Removed);
    std::vector<Controller::Completion> last = From(2);
    ASSERT_EQ(last.size(), 3u);
    for (const Controller::Completion& completion : last) {
        EXPECT_EQ(completion.status, STATUS_CANCELLED);
    }
    EXPECT_EQ(stack_.FunctionDevice(p_.id), nullptr);
}

TEST_F(XusbEndpointTest, TransfersAClassDriverLeavesBehindEndWithTheChild) {
    // This class driver leaves without cancelling: the child's deletion
    // finishes what is still queued.
    Plug(/*cancelOnRemove=*/false);
    PassFixedStages();
    c_->StartTransfers(1);
    ASSERT_TRUE(c_->WaitOutstanding(2));
    ASSERT_EQ(stack_.Unplug(p_.id), STATUS_SUCCESS);
    ASSERT_TRUE(c_->WaitOutstanding(0));
    std::vector<Controller::Completion> last = From(2);
    ASSERT_EQ(last.size(), 2u);
    for (const Controller::Completion& completion : last) {
        EXPECT_EQ(completion.status, STATUS_DEVICE_DOES_NOT_EXIST);
    }
    EXPECT_EQ(trace_.Count("Quillex!EP1CancelRoutine: ++\n"), 0u);
}

} // namespace
} // namespace quillex_test

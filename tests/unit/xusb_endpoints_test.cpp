// The emulated controller's interrupt endpoints: input reports handed to
// waiting endpoint 1 transfers, cancellation racing delivery, LED commands on
// endpoint 2, removal and the child's cleanup.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "mapping/remap_store.h"
#include "sim/core/trace_sink.h"
#include "sim/kernel/system_worker.h"
#include "sim/kernel/thread_state.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/xusb_child.h"
#include "xusb/urb_dispatch.h"

namespace {

using namespace quillex_test;
using Report = std::array<UCHAR, XUSB_INPUT_REPORT_LENGTH>;

constexpr ULONG kEp1In = 0x30481;
constexpr ULONG kEp2Out = 0x30802;

const Report kStage0 = {0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0xF5, 0xF7, 0x16, 0x01,
                        0x49, 0x0B, 0xAC, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const Report kStage1 = {0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0xF5, 0xF7, 0x16, 0x01,
                        0xDC, 0x0A, 0xAC, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

Report MakeReport(UCHAR marker) {
    Report r{};
    r[0] = 0x00;
    r[1] = 0x14;
    r[2] = marker;
    r[19] = marker;
    return r;
}

// An endpoint 1 transfer of the class driver, with its 32-byte buffer.
struct Transfer {
    ClassIrp irp;
    std::array<UCHAR, 32> buffer;
    explicit Transfer(ULONG length = 32, ULONG pipe = kEp1In) {
        buffer.fill(0xEE);
        BuildInterruptTransfer(&irp.urb, pipe, buffer.data(), length);
    }
    NTSTATUS Send(XusbChild& child) { return irp.Send(child); }
    Report Received() const {
        Report r;
        std::copy(buffer.begin(), buffer.begin() + r.size(), r.begin());
        return r;
    }
    bool Untouched() const {
        return std::all_of(buffer.begin(), buffer.end(), [](UCHAR c) { return c == 0xEE; });
    }
};

class XusbEndpointTest : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(child_.InitStatus(), STATUS_SUCCESS);
        child_.Parent()->Driver = driver_.Handle();
        child_.Parent()->InstanceNumber = 3;
        ASSERT_EQ(TorvaXboxMappingInit(child_.Parent()), STATUS_SUCCESS);
    }

    // Enumerates the child as the class driver does and takes the two fixed
    // endpoint 1 reports, so that the next transfer waits.
    void PassTheFixedStages() {
        UCHAR descriptor[18];
        ClassIrp irp;
        BuildDescriptorRequest(&irp.urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, 18);
        ASSERT_EQ(irp.Send(child_), STATUS_SUCCESS);
        for (int i = 0; i < 2; ++i) {
            Transfer t;
            ASSERT_EQ(t.Send(child_), STATUS_SUCCESS);
        }
    }
    size_t Waiting() {
        size_t n = 0;
        for (PLIST_ENTRY e = child_.Data()->PendingEp1Irps.Flink;
             e != &child_.Data()->PendingEp1Irps; e = e->Flink) {
            ++n;
        }
        return n;
    }
    NTSTATUS Deliver(const Report& r) { return HandleXusbInputReport(child_.Data(), r.data()); }
    NTSTATUS SendOut(std::vector<UCHAR> message) {
        ClassIrp irp;
        BuildInterruptTransfer(&irp.urb, kEp2Out, message.data(),
                               static_cast<ULONG>(message.size()));
        return irp.Send(child_);
    }
    UCHAR LedAfterWork() {
        WdfWorkItemFlush(child_.Data()->LedWorkItem);
        return child_.Parent()->LedState;
    }

    XusbChild child_{1, 0x0402};
};

TEST_F(XusbEndpointTest, TheFirstTwoTransfersGetFixedReportsAndTheThirdWaitsForOne) {
    UCHAR descriptor[18];
    ClassIrp irp;
    BuildDescriptorRequest(&irp.urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, 18);
    ASSERT_EQ(irp.Send(child_), STATUS_SUCCESS);
    Transfer first, second, third;
    EXPECT_EQ(first.Send(child_), STATUS_SUCCESS);
    EXPECT_EQ(first.Received(), kStage0);
    EXPECT_EQ(first.irp.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 20u);
    EXPECT_EQ(second.Send(child_), STATUS_SUCCESS);
    EXPECT_EQ(second.Received(), kStage1);
    EXPECT_EQ(second.irp.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 20u);
    EXPECT_EQ(third.Send(child_), STATUS_PENDING);
    EXPECT_EQ(third.irp.Completions(), 0);
    EXPECT_EQ(Waiting(), 1u);

    const Report report = MakeReport(0x42);
    EXPECT_EQ(Deliver(report), STATUS_SUCCESS);
    EXPECT_EQ(third.irp.Completions(), 1);
    EXPECT_EQ(third.irp.Status(), STATUS_SUCCESS);
    EXPECT_EQ(third.irp.Information(), 0u);
    EXPECT_EQ(third.irp.CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(third.Received(), report);
    EXPECT_EQ(third.buffer[20], 0xEE); // 20 bytes, not the whole buffer, and it says so
    EXPECT_EQ(third.irp.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 20u);
    EXPECT_EQ(third.irp.urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Waiting(), 0u);
}

TEST_F(XusbEndpointTest, WaitingTransfersAreServedOldestFirst) {
    PassTheFixedStages();
    Transfer a, b;
    ASSERT_EQ(a.Send(child_), STATUS_PENDING);
    ASSERT_EQ(b.Send(child_), STATUS_PENDING);
    EXPECT_EQ(Deliver(MakeReport(1)), STATUS_SUCCESS);
    EXPECT_EQ(a.irp.Completions(), 1);
    EXPECT_EQ(b.irp.Completions(), 0);
    EXPECT_EQ(a.Received(), MakeReport(1));
    EXPECT_EQ(Deliver(MakeReport(2)), STATUS_SUCCESS);
    EXPECT_EQ(b.Received(), MakeReport(2));
    sim::trace::Capture trace;
    EXPECT_EQ(Deliver(MakeReport(3)), STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(trace.Contains(
        "Quillex!HandleXusbInputReport: ERROR, Event Received without a Valid IRP.\n"));
}

// A real controller answers the next poll with its current state: a report
// that found no transfer is not lost, or a released button would stay
// pressed until the next change.
TEST_F(XusbEndpointTest, AReportWithNoTransferWaitingAnswersTheNextTransferAtOnce) {
    PassTheFixedStages();
    EXPECT_EQ(Deliver(MakeReport(1)), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Deliver(MakeReport(2)), STATUS_DEVICE_NOT_READY); // the latest state wins
    Transfer next, after;
    EXPECT_EQ(next.Send(child_), STATUS_SUCCESS);
    EXPECT_EQ(next.irp.Completions(), 1);
    EXPECT_EQ(next.Received(), MakeReport(2));
    EXPECT_EQ(next.irp.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 20u);
    EXPECT_EQ(next.irp.urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(after.Send(child_), STATUS_PENDING); // delivered once, then transfers wait again
    EXPECT_EQ(Deliver(MakeReport(3)), STATUS_SUCCESS);
    EXPECT_EQ(after.Received(), MakeReport(3));
}

TEST_F(XusbEndpointTest, AKeptReportComesAfterTheFixedReportsOfANewEnumeration) {
    PassTheFixedStages();
    EXPECT_EQ(Deliver(MakeReport(9)), STATUS_DEVICE_NOT_READY);
    PassTheFixedStages(); // the fixed reports first, whatever is kept
    Transfer next;
    EXPECT_EQ(next.Send(child_), STATUS_SUCCESS);
    EXPECT_EQ(next.Received(), MakeReport(9));
}

TEST_F(XusbEndpointTest, ShortAndMisdirectedTransfersCompleteAtOnceWithoutData) {
    PassTheFixedStages();
    sim::trace::Capture trace;
    Transfer shortOne(19);
    EXPECT_EQ(shortOne.Send(child_), STATUS_SUCCESS);
    EXPECT_TRUE(shortOne.Untouched());
    EXPECT_EQ(shortOne.irp.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_TRUE(trace.Contains("ERROR Wrong Length for input report!!! 19\n"));

    Transfer ep5(32, 0x30485);
    EXPECT_EQ(ep5.Send(child_), STATUS_SUCCESS);
    EXPECT_EQ(ep5.irp.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_TRUE(trace.Contains("ERROR, HandleEP5InterruptInURB Not expected for this Profile"));
    Transfer ep3In(32, 0x30483);
    EXPECT_EQ(ep3In.Send(child_), STATUS_SUCCESS);
    Transfer ep3Out(32, 0x30803);
    EXPECT_EQ(ep3Out.Send(child_), STATUS_SUCCESS);
    EXPECT_EQ(trace.Count("Unexpected Endpoint URB in EP: 3\n"), 2u);
    EXPECT_EQ(Waiting(), 0u);

    Transfer noBuffer;
    noBuffer.irp.urb.UrbBulkOrInterruptTransfer.TransferBuffer = nullptr;
    EXPECT_EQ(noBuffer.Send(child_), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(noBuffer.irp.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(noBuffer.irp.urb.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Waiting(), 0u);
}

TEST_F(XusbEndpointTest, ATransferWithOnlyAnMdlGetsItsReportThroughIt) {
    PassTheFixedStages();
    std::array<UCHAR, 32> storage;
    storage.fill(0xEE);
    PMDL mdl = IoAllocateMdl(storage.data(), 32, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    ClassIrp irp;
    BuildInterruptTransfer(&irp.urb, kEp1In, nullptr, 32, mdl);
    EXPECT_EQ(irp.Send(child_), STATUS_PENDING);
    EXPECT_EQ(Deliver(MakeReport(5)), STATUS_SUCCESS);
    EXPECT_EQ(irp.Status(), STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(storage.begin(), storage.begin() + 20, MakeReport(5).begin()));
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST_F(XusbEndpointTest, ACancelledWaitingTransferCompletesOnceWithCancelled) {
    PassTheFixedStages();
    Transfer t;
    ASSERT_EQ(t.Send(child_), STATUS_PENDING);
    sim::trace::Capture trace;
    EXPECT_TRUE(IoCancelIrp(t.irp.Irp()));
    EXPECT_EQ(t.irp.Completions(), 1);
    EXPECT_EQ(t.irp.Status(), STATUS_CANCELLED);
    EXPECT_EQ(t.irp.Information(), 0u);
    EXPECT_EQ(t.irp.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(t.irp.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_TRUE(trace.Contains("Quillex!EP1CancelRoutine: 1 --\n"));
    EXPECT_FALSE(IoCancelIrp(t.irp.Irp())); // nothing left to cancel
    EXPECT_EQ(Deliver(MakeReport(1)), STATUS_DEVICE_NOT_READY);
}

TEST_F(XusbEndpointTest, ATransferAlreadyCancelledWhenQueuedCompletesAtOnce) {
    PassTheFixedStages();
    Transfer t;
    t.irp.cancelOnTheWay = true;
    EXPECT_EQ(t.Send(child_), STATUS_CANCELLED);
    EXPECT_EQ(t.irp.Completions(), 1);
    EXPECT_EQ(t.irp.Status(), STATUS_CANCELLED);
    EXPECT_TRUE(t.Untouched());
    EXPECT_EQ(t.irp.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(t.irp.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(Waiting(), 0u);
}

TEST_F(XusbEndpointTest, ARemovedChildRefusesReportsAndKeepsItsWaitingTransfers) {
    PassTheFixedStages();
    Transfer waiting;
    ASSERT_EQ(waiting.Send(child_), STATUS_PENDING);
    UCHAR stagesBefore = child_.Data()->Ep1InState;
    ASSERT_EQ(QuillexRemovePdo(child_.Pdo()), STATUS_SUCCESS);
    EXPECT_TRUE(QuillexReadFlag(&child_.Data()->bRemoved));
    EXPECT_EQ(child_.Data()->Ep1InState, stagesBefore); // only the mark changes
    sim::trace::Capture trace;
    EXPECT_EQ(Deliver(MakeReport(1)), STATUS_DEVICE_REMOVED);
    EXPECT_TRUE(trace.Contains("ERROR, Xbox PDO Marked as removed.\n"));
    EXPECT_EQ(waiting.irp.Completions(), 0);
    EXPECT_EQ(Waiting(), 1u);
    Transfer refused;
    EXPECT_EQ(refused.Send(child_), STATUS_DEVICE_DOES_NOT_EXIST);
    // The waiting transfer can still be cancelled.
    EXPECT_TRUE(IoCancelIrp(waiting.irp.Irp()));
    EXPECT_EQ(waiting.irp.Status(), STATUS_CANCELLED);

    EXPECT_EQ(HandleXusbInputReport(nullptr, MakeReport(1).data()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(HandleXusbInputReport(child_.Data(), nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(QuillexRemovePdo(nullptr), STATUS_SUCCESS);
}

// Destroying the child finishes what still waits on it: its context, which
// the waiting transfers and their cancel routines point into, goes with it.
TEST_F(XusbEndpointTest, DestroyingTheChildCompletesItsWaitingTransfers) {
    PassTheFixedStages();
    Transfer a, b;
    ASSERT_EQ(a.Send(child_), STATUS_PENDING);
    ASSERT_EQ(b.Send(child_), STATUS_PENDING);
    QuillexRemovePdo(child_.Pdo());
    EXPECT_EQ(child_.Parent()->XusbPdo, child_.Pdo());
    sim::trace::Capture trace;
    child_.DeleteChild();
    for (Transfer* t : {&a, &b}) {
        EXPECT_EQ(t->irp.Completions(), 1);
        EXPECT_EQ(t->irp.Status(), STATUS_DEVICE_DOES_NOT_EXIST);
        EXPECT_FALSE(IoCancelIrp(t->irp.Irp())); // no cancel routine left behind
    }
    EXPECT_EQ(child_.Parent()->XusbPdo, nullptr);
    EXPECT_TRUE(trace.Contains("Quillex!XusbPdoCleanup: ++\n"));
    EXPECT_TRUE(trace.Contains("Quillex!XusbPdoCleanup: --\n"));
}

// The child's cleanup waits for cancel routines that took a transfer before
// it could: they still use the child's context.
TEST_F(XusbEndpointTest, DestroyingTheChildWhileItsTransfersAreCancelled) {
    for (int round = 0; round < 1000; ++round) {
        auto child = std::make_unique<XusbChild>(2, 0x0402);
        ASSERT_EQ(child->InitStatus(), STATUS_SUCCESS);
        child->Data()->Ep1InState = 2; // past the fixed reports
        std::vector<std::unique_ptr<Transfer>> transfers;
        for (int i = 0; i < 3; ++i) {
            transfers.push_back(std::make_unique<Transfer>());
            ASSERT_EQ(transfers.back()->Send(*child), STATUS_PENDING);
        }
        std::atomic<bool> ready{false}, go{false};
        std::thread canceller([&] {
            ready = true;
            while (!go) {
            }
            for (auto t = transfers.rbegin(); t != transfers.rend(); ++t) {
                IoCancelIrp((*t)->irp.Irp());
            }
        });
        while (!ready) {
        }
        go = true;
        child->DeleteChild();
        canceller.join();
        for (auto& t : transfers) {
            ASSERT_EQ(t->irp.Completions(), 1) << "round " << round;
            NTSTATUS status = t->irp.Status();
            ASSERT_TRUE(status == STATUS_CANCELLED || status == STATUS_DEVICE_DOES_NOT_EXIST);
        }
    }
}

TEST_F(XusbEndpointTest, TheChildsCleanupLeavesANewerChildInPlace) {
    WDFDEVICE newer = CreateStandInDevice(WDF_NO_OBJECT_ATTRIBUTES);
    child_.Parent()->XusbPdo = newer;
    child_.DeleteChild();
    EXPECT_EQ(child_.Parent()->XusbPdo, newer);
}

TEST_F(XusbEndpointTest, LedCommandsReachTheMappingEngineThroughTheTable) {
    struct Case {
        std::vector<UCHAR> message;
        UCHAR led; // the LED state afterwards
    };
    const Case cases[] = {
        {{0x01, 0x03, 0x06}, 2},
        {{0x01, 0x03, 0x09}, 5},
        {{0x01, 0x03, 0x01}, 0},
        {{0x01, 0x03, 0x0E}, 0}, // outside the table: unchanged
        {{0x01, 0x03, 0x04}, 4},
        {{0x03, 0x03, 0x00}, 4}, // rumble: unchanged
        // Starts like an LED command but is not one: the whole prefix must match.
        {{0x01, 0x00, 0x06}, 4},
        {{0x01, 0x02, 0x09}, 4},
        {{0x01, 0x13, 0x02}, 4},
        {{0x01, 0x83, 0x06}, 4},
        {{0x02, 0x03, 0x09}, 4},
        {{0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 4},
        {{0x01, 0x03}, 4}, // too short
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SendOut(c.message), STATUS_SUCCESS);
        EXPECT_EQ(LedAfterWork(), c.led) << int(c.message[0]) << " " << int(c.message[1]);
    }
    sim::trace::Capture trace;
    SendOut({0x01, 0x03, 0x0E});
    SendOut({0x03, 0x03, 0x00});
    SendOut({0x01, 0x03});
    SendOut({0x01, 0x03, 0x07});
    LedAfterWork();
    EXPECT_TRUE(trace.Contains(
        "Quillex!HandleXboxLEDDecode: ERROR LED Byte note covered by mapping table\n"));
    EXPECT_TRUE(trace.Contains("Rumble, do nothing for now\n"));
    EXPECT_TRUE(trace.Contains("Quillex!HandleEP2InterruptOutURB: ERROR Unexpected Transfer "
                               "Buffer Too Small.  Size: 2, Expected Size 3\n"));
    EXPECT_TRUE(trace.Contains("Quillex!HandleXboxLEDDecode: Write LED State, 3\n"));
    EXPECT_TRUE(trace.Contains("Quillex!XboxControllerURBInterrupt: USB Interrupt Out 2\n"));
    EXPECT_TRUE(trace.Contains("Quillex!QuillexSetLed: <3> ++ Torva_LED [2]\n"));
}

// Every command byte the class driver can send: those inside the table give
// its LED state, every other one leaves the state as it was.
TEST_F(XusbEndpointTest, EveryLedCommandByteStaysInsideTheTable) {
    const UCHAR kStateOf[14] = {0, 0, 2, 3, 4, 5, 2, 3, 4, 5, 0, 0, 0, 0};
    for (ULONG command = 0; command <= 0xFF; ++command) {
        EXPECT_EQ(SendOut({0x01, 0x03, 0x07}), STATUS_SUCCESS); // a known state first
        ASSERT_EQ(LedAfterWork(), 3);
        EXPECT_EQ(SendOut({0x01, 0x03, static_cast<UCHAR>(command)}), STATUS_SUCCESS);
        ASSERT_EQ(LedAfterWork(), command < 14 ? kStateOf[command] : 3) << command;
    }
}

// The class driver sends LED commands from completion routines, at
// DISPATCH_LEVEL; the mapping engine records them under a mutex, which needs
// PASSIVE_LEVEL (the verifier stops a wait at DISPATCH_LEVEL).
TEST_F(XusbEndpointTest, AnLedCommandAtDispatchLevelIsRecordedAtPassiveLevel) {
    {
        sim::kernel::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(SendOut({0x01, 0x03, 0x08}), STATUS_SUCCESS);
    }
    EXPECT_EQ(LedAfterWork(), 4);
}

TEST_F(XusbEndpointTest, TheNewestOfManyLedCommandsIsTheOneThatStays) {
    const UCHAR commands[] = {0x02, 0x03, 0x04, 0x05};
    for (int round = 0; round < 50; ++round) {
        for (UCHAR command : commands) {
            sim::kernel::ScopedIrql dispatch(DISPATCH_LEVEL);
            SendOut({0x01, 0x03, command});
        }
        UCHAR last = commands[round % 4];
        SendOut({0x01, 0x03, last});
        ASSERT_EQ(LedAfterWork(), last) << "round " << round;
    }
}

// Reports, cancels and new transfers race; every transfer must come back
// exactly once (the verifier stops on a second completion), and every report
// that was handed over must account for exactly one successful transfer.
TEST_F(XusbEndpointTest, EveryTransferCompletesExactlyOnceWhateverTheRace) {
    PassTheFixedStages();
    constexpr int kRounds = 1000;
    constexpr int kTransfers = 6;
    std::mt19937 random(12345);
    int cancelledBeforeFound = 0;
    for (int round = 0; round < kRounds; ++round) {
        sim::trace::Capture trace;
        std::vector<std::unique_ptr<Transfer>> transfers;
        for (int i = 0; i < kTransfers; ++i) {
            transfers.push_back(std::make_unique<Transfer>());
        }
        std::atomic<int> sentDone{0}, reportsTaken{0};
        std::vector<NTSTATUS> sendStatus(kTransfers, 0);
        std::atomic<bool> go{false};
        // Half the transfers wait before the race, the rest arrive during it.
        for (int i = 0; i < kTransfers / 2; ++i) {
            sendStatus[i] = transfers[i]->Send(child_);
        }
        std::vector<int> order(kTransfers);
        for (int i = 0; i < kTransfers; ++i) {
            order[i] = i;
        }
        std::shuffle(order.begin(), order.end(), random);
        std::thread sender([&] {
            while (!go) {
            }
            for (int i = kTransfers / 2; i < kTransfers; ++i) {
                sim::kernel::ScopedIrql dispatch(DISPATCH_LEVEL);
                sendStatus[i] = transfers[i]->Send(child_);
            }
            sentDone = 1;
        });
        std::thread reporter([&] {
            while (!go) {
            }
            for (int i = 0; i < kTransfers; ++i) {
                if (Deliver(MakeReport(static_cast<UCHAR>(i))) == STATUS_SUCCESS) {
                    reportsTaken++;
                }
            }
        });
        std::thread canceller([&] {
            while (!go) {
            }
            // The class driver cancels only what it has sent: a transfer
            // still being prepared is left to the sweep after the race.
            for (int i : order) {
                if (transfers[i]->irp.HandedDown()) {
                    IoCancelIrp(transfers[i]->irp.Irp());
                }
            }
        });
        go = true;
        sender.join();
        reporter.join();
        canceller.join();
        // Whatever is still waiting (sent after its cancel) is cancelled now.
        for (auto& t : transfers) {
            if (t->irp.Completions() == 0) {
                IoCancelIrp(t->irp.Irp());
            }
        }
        int succeeded = 0, immediate = 0;
        for (int i = 0; i < kTransfers; ++i) {
            ASSERT_EQ(transfers[i]->irp.Completions(), 1) << "round " << round << " transfer " << i;
            NTSTATUS status = transfers[i]->irp.Status();
            ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << status;
            if (status == STATUS_SUCCESS) {
                ++succeeded;
                immediate += sendStatus[i] == STATUS_SUCCESS; // took the kept report
                ASSERT_EQ(transfers[i]->Received()[1], 0x14);
            }
        }
        ASSERT_EQ(succeeded, reportsTaken + immediate) << "round " << round;
        ASSERT_EQ(Waiting(), 0u);
        cancelledBeforeFound += static_cast<int>(trace.Count("Quillex!EP1CancelRoutine: 0 --"));
        // Forget a kept report, so that each round starts with none.
        child_.Data()->LatestReportHeld = FALSE;
    }
    RecordProperty("CancelRoutinesThatFoundTheirTransferGone", cancelledBeforeFound);
}

} // namespace

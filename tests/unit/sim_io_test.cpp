// The simulator's I/O core: IRP completion through the stack, cancellation
// with the cancel spin lock, spin locks, interlocked lists and waits, and the
// verifier stops that guard them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sim/kernel/irp.h"
#include "sim/kernel/thread_state.h"
#include "sim/core/fault.h"
#include "ntddk.h"

namespace {

// A device whose dispatch routine the test supplies per IRP major function.
struct TestDevice {
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};
    explicit TestDevice(PDRIVER_DISPATCH internalIoctl) {
        device.DriverObject = &driver;
        driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = internalIoctl;
    }
};

struct Completion {
    std::atomic<int> count{0};
    NTSTATUS status = 0;
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    std::vector<int>* order = nullptr;
    int id = 0;
};

NTSTATUS RecordCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    auto* c = static_cast<Completion*>(Context);
    c->status = Irp->IoStatus.Status;
    c->device = DeviceObject;
    c->pendingReturned = Irp->PendingReturned;
    if (c->order != nullptr) {
        c->order->push_back(c->id);
    }
    // A driver's routine passes the pending mark up; the originator has no
    // stack location of its own to mark.
    if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
        IoMarkIrpPending(Irp);
    }
    c->count++;
    return STATUS_CONTINUE_COMPLETION;
}

PIRP g_heldIrp = nullptr; // the IRP the lower test driver keeps pending

NTSTATUS HoldPending(PDEVICE_OBJECT, PIRP Irp) {
    IoMarkIrpPending(Irp);
    g_heldIrp = Irp;
    return STATUS_PENDING;
}

TestDevice* g_lower = nullptr;
Completion* g_middleCompletion = nullptr;

NTSTATUS PassDown(PDEVICE_OBJECT, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, RecordCompletion, g_middleCompletion, TRUE, TRUE, TRUE);
    return IoCallDriver(&g_lower->device, Irp);
}

PIRP NewInternalIrp(CCHAR stackSize, Completion* completion) {
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, RecordCompletion, completion, TRUE, TRUE, TRUE);
    return irp;
}

TEST(SimIrp, CompletionWalksUpTheStackWithEachDriversDeviceAndPendingState) {
    TestDevice lower(HoldPending);
    TestDevice middle(PassDown);
    std::vector<int> order;
    Completion top, mid;
    top.order = mid.order = &order;
    top.id = 1;
    mid.id = 2;
    g_lower = &lower;
    g_middleCompletion = &mid;

    PIRP irp = NewInternalIrp(2, &top);
    EXPECT_EQ(IoCallDriver(&middle.device, irp), STATUS_PENDING);
    ASSERT_EQ(g_heldIrp, irp);
    EXPECT_EQ(top.count, 0);

    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(order, (std::vector<int>{2, 1}));
    EXPECT_EQ(mid.device, &middle.device); // the middle driver's routine, with its device
    EXPECT_EQ(top.device, nullptr);        // the originator's routine has no device
    EXPECT_TRUE(mid.pendingReturned);
    EXPECT_TRUE(top.pendingReturned); // propagated by the middle driver's routine
    IoFreeIrp(irp);
}

// An IRP from the I/O manager's reserve is not a pool block: reusing it must
// not make it look like one, or freeing it stops the verifier.
TEST(SimIrp, AReusedReserveIrpIsStillFreedAsOne) {
    PIRP irp = sim::io::AllocateIrpMustSucceed(2);
    IoReuseIrp(irp, STATUS_SUCCESS);
    EXPECT_EQ(irp->StackCount, 2);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

class SimIrpDeath : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SimIrpDeath, AnIrpCompletedTwiceStops) {
    EXPECT_DEATH(
        {
            TestDevice lower(HoldPending);
            Completion top;
            PIRP irp = NewInternalIrp(1, &top);
            IoCallDriver(&lower.device, irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "IRP completed twice");
}

NTSTATUS CompleteAgainFromAnotherThread(PDEVICE_OBJECT, PIRP Irp, PVOID) {
    std::thread other([Irp] { IoCompleteRequest(Irp, IO_NO_INCREMENT); });
    other.join();
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS PassDownWithRacingRoutine(PDEVICE_OBJECT, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, CompleteAgainFromAnotherThread, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(&g_lower->device, Irp);
}

// A second completion that starts while a completion routine of the first
// runs: the stack location has not moved past the end yet, so only the
// completion count reveals it.
TEST_F(SimIrpDeath, ACompletionRacingACompletionRoutineStops) {
    EXPECT_DEATH(
        {
            TestDevice lower(HoldPending);
            TestDevice middle(PassDownWithRacingRoutine);
            g_lower = &lower;
            Completion top;
            PIRP irp = NewInternalIrp(2, &top);
            IoCallDriver(&middle.device, irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "IRP completed twice");
}

VOID NeverCalled(PDEVICE_OBJECT, PIRP) {}

TEST_F(SimIrpDeath, CompletingAnIrpWithItsCancelRoutineSetStops) {
    EXPECT_DEATH(
        {
            TestDevice lower(HoldPending);
            Completion top;
            PIRP irp = NewInternalIrp(1, &top);
            IoCallDriver(&lower.device, irp);
            IoSetCancelRoutine(irp, NeverCalled);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "IRP completed with its cancel routine set");
}

struct CancelSeen {
    KIRQL irql = 0xFF;
    KIRQL cancelIrql = 0xFF;
    BOOLEAN cancelFlag = FALSE;
    PDEVICE_OBJECT device = nullptr;
};
CancelSeen g_cancelSeen;

VOID RecordingCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    g_cancelSeen.irql = KeGetCurrentIrql();
    g_cancelSeen.cancelIrql = Irp->CancelIrql;
    g_cancelSeen.cancelFlag = Irp->Cancel;
    g_cancelSeen.device = DeviceObject;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

TEST(SimIrp, CancelCallsTheRoutineUnderTheCancelSpinLockWithItTakenOutOfTheIrp) {
    TestDevice lower(HoldPending);
    Completion top;
    PIRP irp = NewInternalIrp(1, &top);
    IoCallDriver(&lower.device, irp);
    IoSetCancelRoutine(irp, RecordingCancelRoutine);

    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(g_cancelSeen.irql, DISPATCH_LEVEL);
    EXPECT_EQ(g_cancelSeen.cancelIrql, PASSIVE_LEVEL);
    EXPECT_TRUE(g_cancelSeen.cancelFlag);
    EXPECT_EQ(g_cancelSeen.device, &lower.device);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL); // the routine released the lock
    EXPECT_EQ(top.count, 1);
    EXPECT_EQ(top.status, STATUS_CANCELLED);
    IoFreeIrp(irp);
}

TEST(SimIrp, CancelWithoutARoutineOnlySetsTheFlag) {
    TestDevice lower(HoldPending);
    Completion top;
    PIRP irp = NewInternalIrp(1, &top);
    IoCallDriver(&lower.device, irp);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(top.count, 0);
    // A routine installed now must be taken back by its driver, which sees the flag.
    EXPECT_EQ(IoSetCancelRoutine(irp, NeverCalled), nullptr);
    EXPECT_EQ(IoSetCancelRoutine(irp, nullptr), NeverCalled);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(top.count, 1);
    IoFreeIrp(irp);
}

class SimSpinLockDeath : public SimIrpDeath {};

TEST_F(SimSpinLockDeath, ReleaseByAThreadThatDoesNotHoldItStops) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            (void)old;
            std::thread other([&] {
                sim::kernel::ScopedIrql dispatch(DISPATCH_LEVEL);
                KeReleaseSpinLock(&lock, DISPATCH_LEVEL);
            });
            other.join();
        },
        "spin lock released by a thread that does not hold it");
}

TEST_F(SimSpinLockDeath, ReleaseOfALockNobodyHoldsStops) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
        },
        "spin lock released by a thread that does not hold it");
}

TEST_F(SimSpinLockDeath, ReacquiringALockTheThreadHoldsStops) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLockRaiseToDpc(&lock);
            KeAcquireSpinLockRaiseToDpc(&lock);
        },
        "spin lock acquired by the thread that holds it");
}

struct Item {
    LIST_ENTRY link;
    int value;
};

TEST(SimList, InterlockedOperationsKeepFirstInFirstOutOrder) {
    LIST_ENTRY head;
    KSPIN_LOCK lock;
    InitializeListHead(&head);
    KeInitializeSpinLock(&lock);
    Item items[3] = {{{}, 1}, {{}, 2}, {{}, 3}};
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &items[0].link, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &items[1].link, &lock), &items[0].link);
    ExInterlockedInsertTailList(&head, &items[2].link, &lock);
    for (int expected = 1; expected <= 3; ++expected) {
        PLIST_ENTRY e = ExInterlockedRemoveHeadList(&head, &lock);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(CONTAINING_RECORD(e, Item, link)->value, expected);
    }
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

class SimListDeath : public SimIrpDeath {};

TEST_F(SimListDeath, AppendingToAListWhoseLastEntryDoesNotPointBackStops) {
    EXPECT_DEATH(
        {
            LIST_ENTRY head;
            KSPIN_LOCK lock;
            InitializeListHead(&head);
            KeInitializeSpinLock(&lock);
            Item a{};
            Item b{};
            InsertTailList(&head, &a.link);
            a.link.Flink = &b.link; // the last entry no longer points back at the head
            ExInterlockedInsertTailList(&head, &b.link, &lock);
        },
        "corrupted LIST_ENTRY");
}

TEST_F(SimListDeath, RemovingTheHeadOfACorruptedListStops) {
    EXPECT_DEATH(
        {
            LIST_ENTRY head;
            KSPIN_LOCK lock;
            InitializeListHead(&head);
            KeInitializeSpinLock(&lock);
            Item a{};
            Item b{};
            InsertTailList(&head, &a.link);
            InsertTailList(&head, &b.link);
            b.link.Blink = &head; // the second entry no longer points back at the first
            ExInterlockedRemoveHeadList(&head, &lock);
        },
        "corrupted LIST_ENTRY");
}

class SimWaitDeath : public SimIrpDeath {};

TEST_F(SimWaitDeath, AnInjectedWaitFailureDoesNotHideABlockingWaitAtDispatchLevel) {
    EXPECT_DEATH(
        {
            sim::fault::FailNthCall("KeWaitForMultipleObjects", 1, STATUS_ALERTED);
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            PVOID objects[1] = {&event};
            LARGE_INTEGER timeout;
            timeout.QuadPart = -10000;
            sim::kernel::ScopedIrql dispatch(DISPATCH_LEVEL);
            KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE, &timeout,
                                     nullptr);
        },
        "blocking wait at DISPATCH_LEVEL");
}

} // namespace

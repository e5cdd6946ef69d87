// The verifier's rules for what a routine hands back: the status a dispatch
// routine returns against what it did to the IRP, the IRQL every routine
// returns at, mutexes a system thread keeps, and waits that never end.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <thread>

#include "ntddk.h"
#include "sim/io/sync_call.h"
#include "sim/kernel/thread_state.h"

namespace {

struct TestDevice {
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};
    explicit TestDevice(PDRIVER_DISPATCH dispatch) {
        device.DriverObject = &driver;
        device.StackSize = 1;
        driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
    }
};

PIRP NewIrp(CCHAR stackSize = 1) {
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    return irp;
}

PIRP g_kept = nullptr;

NTSTATUS PendWithoutMark(PDEVICE_OBJECT, PIRP Irp) {
    g_kept = Irp;
    return STATUS_PENDING;
}

NTSTATUS MarkThenCompleteAtOnce(PDEVICE_OBJECT, PIRP Irp) {
    IoMarkIrpPending(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS CompleteCancelledReturnSuccess(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS MarkAndPend(PDEVICE_OBJECT, PIRP Irp) {
    IoMarkIrpPending(Irp);
    g_kept = Irp;
    return STATUS_PENDING;
}

NTSTATUS CompleteAndReturnIt(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_NOT_READY;
}

TestDevice* g_below = nullptr;

// Passes the IRP down with no completion routine and returns what the driver
// below returned: its STATUS_PENDING is the caller's to return unmarked.
NTSTATUS PassDown(PDEVICE_OBJECT, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(&g_below->device, Irp);
}

// The driver below pends, yet this one claims success.
NTSTATUS PassDownClaimSuccess(PDEVICE_OBJECT, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    IoCallDriver(&g_below->device, Irp);
    return STATUS_SUCCESS;
}

NTSTATUS ReturnRaised(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_SUCCESS;
}

NTSTATUS CompletionReturnsRaised(PDEVICE_OBJECT, PIRP, PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CancelKeepingTheLock(PDEVICE_OBJECT, PIRP) {}

VOID CancelAndComplete(PDEVICE_OBJECT, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

class SimRuleDeath : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SimRuleDeath, StatusPendingFromARoutineThatDidNotMarkTheIrpStops) {
    EXPECT_DEATH(
        {
            TestDevice device(PendWithoutMark);
            IoCallDriver(&device.device, NewIrp());
        },
        "STATUS_PENDING returned for an IRP not marked pending(.|\n)*without calling "
        "IoMarkIrpPending");
    EXPECT_DEATH(
        {
            TestDevice below(PendWithoutMark);
            TestDevice above(PassDown);
            g_below = &below;
            IoCallDriver(&above.device, NewIrp(2));
        },
        "STATUS_PENDING returned for an IRP not marked pending");
}

TEST_F(SimRuleDeath, AnIrpMarkedPendingAnsweredWithAnotherStatusStops) {
    EXPECT_DEATH(
        {
            TestDevice device(MarkThenCompleteAtOnce);
            IoCallDriver(&device.device, NewIrp());
        },
        "IRP marked pending but STATUS_PENDING not returned");
    // The mark the I/O manager passes up from the driver below binds the
    // driver above too.
    EXPECT_DEATH(
        {
            TestDevice below(MarkThenCompleteAtOnce);
            TestDevice above(PassDownClaimSuccess);
            g_below = &below;
            IoCallDriver(&above.device, NewIrp(2));
        },
        "IRP marked pending but STATUS_PENDING not returned");
}

TEST_F(SimRuleDeath, ARoutineThatCompletesWithOneStatusAndReturnsAnotherStops) {
    EXPECT_DEATH(
        {
            TestDevice device(CompleteCancelledReturnSuccess);
            IoCallDriver(&device.device, NewIrp());
        },
        "IRP completed with one status, another returned(.|\n)*completed IRP .* with "
        "0xc0000120 and returned 0x00000000");
}

TEST(SimRules, RoutinesThatKeepTheRulesPass) {
    TestDevice pend(MarkAndPend);
    PIRP irp = NewIrp();
    EXPECT_EQ(IoCallDriver(&pend.device, irp), STATUS_PENDING);
    // Completed later from elsewhere, with any status.
    std::thread([irp] {
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }).join();
    IoFreeIrp(irp);

    TestDevice complete(CompleteAndReturnIt);
    irp = NewIrp();
    EXPECT_EQ(IoCallDriver(&complete.device, irp), STATUS_DEVICE_NOT_READY);
    IoFreeIrp(irp);

    TestDevice below(MarkAndPend);
    TestDevice above(PassDown);
    g_below = &below;
    irp = NewIrp(2);
    EXPECT_EQ(IoCallDriver(&above.device, irp), STATUS_PENDING);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoFreeIrp(irp);
}

TEST_F(SimRuleDeath, RoutinesReturningAtAnotherIrqlStop) {
    EXPECT_DEATH(
        {
            TestDevice device(ReturnRaised);
            IoCallDriver(&device.device, NewIrp());
        },
        "routine returned at another IRQL(.|\n)*dispatch routine of device .* returned at IRQL 2 "
        "for IRP .*; it was called at IRQL 0");
    EXPECT_DEATH(
        {
            TestDevice device(MarkAndPend);
            PIRP irp = NewIrp(2);
            IoSetCompletionRoutine(irp, CompletionReturnsRaised, nullptr, TRUE, TRUE, TRUE);
            IoCallDriver(&device.device, irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "routine returned at another IRQL(.|\n)*completion routine .* returned at IRQL 2; it was "
        "called at IRQL 0");
    EXPECT_DEATH(
        {
            TestDevice device(MarkAndPend);
            PIRP irp = NewIrp();
            IoCallDriver(&device.device, irp);
            IoSetCancelRoutine(irp, CancelKeepingTheLock);
            IoCancelIrp(irp);
        },
        "routine returned at another IRQL(.|\n)*returned holding the cancel spin lock");
}

TEST(SimRules, ACancelRoutineThatReleasesTheLockReturnsAtTheCallersIrql) {
    TestDevice device(MarkAndPend);
    PIRP irp = NewIrp();
    IoCallDriver(&device.device, irp);
    IoSetCancelRoutine(irp, CancelAndComplete);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    IoFreeIrp(irp);
}

KMUTEX g_mutex;

VOID KeepTheMutex(PDEVICE_OBJECT, PVOID) {
    KeWaitForSingleObject(&g_mutex, Executive, KernelMode, FALSE, nullptr);
}

VOID TakeAndReleaseTheMutexTwice(PDEVICE_OBJECT, PVOID Done) {
    KeWaitForSingleObject(&g_mutex, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&g_mutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&g_mutex, FALSE);
    KeReleaseMutex(&g_mutex, FALSE);
    KeSetEvent(static_cast<PKEVENT>(Done), IO_NO_INCREMENT, FALSE);
}

TEST_F(SimRuleDeath, AWorkItemThatReturnsOwningAMutexStops) {
    EXPECT_DEATH(
        {
            static DEVICE_OBJECT device{};
            KeInitializeMutex(&g_mutex, 0);
            IoQueueWorkItem(IoAllocateWorkItem(&device), KeepTheMutex, DelayedWorkQueue, nullptr);
            std::this_thread::sleep_for(std::chrono::seconds(5));
        },
        "routine returned owning a mutex(.|\n)*IoQueueWorkItem routine(.|\n)*returned owning "
        "mutex");
}

TEST(SimRules, AWorkItemThatReleasesWhatItTookReturnsCleanly) {
    static DEVICE_OBJECT device{};
    KeInitializeMutex(&g_mutex, 0);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(&device);
    IoQueueWorkItem(item, TakeAndReleaseTheMutexTwice, DelayedWorkQueue, &done);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&g_mutex), 1);
    // The routine has returned once its device reference is dropped.
    while (InterlockedCompareExchange(&device.ReferenceCount, 0, 0) != 0) {
        std::this_thread::yield();
    }
    IoFreeWorkItem(item);
}

TEST_F(SimRuleDeath, WaitsThatNeverEndStopWithTheWaiterAndWhatItWaitsFor) {
    EXPECT_DEATH(
        {
            setenv("QUILLEX_WAIT_LIMIT_SECONDS", "1", 1);
            sim::kernel::SetCurrentThreadName("test");
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "wait never ended(.|\n)*KeWaitForSingleObject(.|\n)*thread: test(.|\n)*waited 1 s for "
        "notification event");
    EXPECT_DEATH(
        {
            setenv("QUILLEX_WAIT_LIMIT_SECONDS", "1", 1);
            static KMUTEX held;
            KeInitializeMutex(&held, 0);
            std::thread([] {
                sim::kernel::SetCurrentThreadName("owner");
                KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
            }).join();
            KEVENT other;
            KeInitializeEvent(&other, SynchronizationEvent, FALSE);
            PVOID objects[2];
            objects[0] = &other;
            objects[1] = &held;
            KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr,
                                     nullptr);
        },
        "waited 1 s for all of synchronization event .*, mutex .* owned by 'owner'");
    // A synchronous request the driver never completes.
    EXPECT_DEATH(
        {
            setenv("QUILLEX_WAIT_LIMIT_SECONDS", "1", 1);
            TestDevice device(MarkAndPend);
            sim::io::CallAndWait(&device.device, NewIrp(), nullptr);
        },
        "wait never ended(.|\n)*synchronous I/O(.|\n)*complete a synchronous request");
}

TEST(SimRules, AThreadAllowedUnboundedWaitsIsNotWatched) {
    setenv("QUILLEX_WAIT_LIMIT_SECONDS", "1", 1);
    KEVENT later;
    KeInitializeEvent(&later, NotificationEvent, FALSE);
    std::thread waiter([&] {
        sim::kernel::AllowUnboundedWaits();
        KeWaitForSingleObject(&later, Executive, KernelMode, FALSE, nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    KeSetEvent(&later, IO_NO_INCREMENT, FALSE);
    waiter.join();
    unsetenv("QUILLEX_WAIT_LIMIT_SECONDS");
}

} // namespace

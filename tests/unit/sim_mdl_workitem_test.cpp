// The simulator's MDLs and work items (I/O manager and framework).
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/core/fault.h"
#include "sim/kernel/system_worker.h"
#include "sim/kernel/thread_state.h"
#include "tests/support/sim_fixture.h"

namespace {

TEST(SimMdl, DescribesItsBufferAndJoinsTheIrpsChain) {
    alignas(16) static UCHAR buffer[3 * PAGE_SIZE];
    UCHAR* start = buffer + 100;
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(start, 2 * PAGE_SIZE, FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(buffer, 8, TRUE, FALSE, irp);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    EXPECT_EQ(MmGetMdlVirtualAddress(first), start);
    EXPECT_EQ(MmGetMdlByteCount(first), 2u * PAGE_SIZE);
    EXPECT_EQ(MmGetMdlByteOffset(first), BYTE_OFFSET(start));
    EXPECT_EQ(first->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED), 0);
    IoFreeMdl(second);
    IoFreeMdl(first);
    IoFreeIrp(irp);
}

// Nonpaged pool is mapped from the build on; locked pages when asked, until
// they are unlocked. Each mapping is a view of the MDL's bytes of its own
// (sim_mdl_mapping_test.cpp shows how it agrees with the buffer).
TEST(SimMdl, NonpagedAndLockedBuffersAreMappedInOrder) {
    UCHAR buffer[64];
    for (UCHAR i = 0; i < sizeof(buffer); ++i) {
        buffer[i] = i;
    }
    PMDL nonpaged = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(nonpaged);
    EXPECT_TRUE(nonpaged->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    ASSERT_NE(nonpaged->MappedSystemVa, nullptr);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(nonpaged, NormalPagePriority), nonpaged->MappedSystemVa);
    EXPECT_EQ(memcmp(nonpaged->MappedSystemVa, buffer, sizeof(buffer)), 0);
    IoFreeMdl(nonpaged);

    PMDL locked = IoAllocateMdl(buffer + 8, 16, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(locked, KernelMode, IoWriteAccess);
    auto* view = static_cast<UCHAR*>(MmMapLockedPagesSpecifyCache(
        locked, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[0], 8);
    EXPECT_EQ(view[15], 23);
    EXPECT_TRUE(locked->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    MmUnlockPages(locked);
    EXPECT_FALSE(locked->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED));
    IoFreeMdl(locked);
}

TEST(SimMdl, AFailedMappingReturnsNull) {
    sim::fault::Scope faults;
    UCHAR buffer[16];
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    sim::fault::FailNthCall("MmMapLockedPagesSpecifyCache", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

class SimMdlDeath : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SimMdlDeath, MappingPagesThatAreNotLockedStops) {
    EXPECT_DEATH(
        {
            UCHAR buffer[16];
            PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                         NormalPagePriority);
        },
        "MDL used out of order");
}

TEST_F(SimMdlDeath, FreeingAnMdlWithLockedPagesStops) {
    EXPECT_DEATH(
        {
            UCHAR buffer[16];
            PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
            MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
            IoFreeMdl(mdl);
        },
        "MDL freed with its pages locked");
}

struct WorkSeen {
    KEVENT done;
    KIRQL irql = 0xFF;
    PKTHREAD thread = nullptr;
    PDEVICE_OBJECT device = nullptr;
    LONG deviceReferences = 0;
};

// The count is changed with interlocked operations on other threads (the
// previous run's worker may still be dropping its reference), so it is read
// the same way.
LONG ReferencesOf(PDEVICE_OBJECT DeviceObject) {
    return InterlockedCompareExchange(&DeviceObject->ReferenceCount, 0, 0);
}

VOID RecordWork(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    auto* seen = static_cast<WorkSeen*>(Context);
    seen->irql = KeGetCurrentIrql();
    seen->thread = KeGetCurrentThread();
    seen->device = DeviceObject;
    seen->deviceReferences = ReferencesOf(DeviceObject);
    KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
}

TEST(SimWorkItem, RoutineQueuedAtDispatchRunsAtPassiveOnASystemThread) {
    DEVICE_OBJECT device{};
    WorkSeen seen;
    KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(&device);
    ASSERT_NE(item, nullptr);
    {
        sim::kernel::ScopedIrql dispatch(DISPATCH_LEVEL);
        IoQueueWorkItem(item, RecordWork, DelayedWorkQueue, &seen);
    }
    KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_NE(seen.thread, KeGetCurrentThread());
    EXPECT_EQ(seen.device, &device);
    EXPECT_EQ(seen.deviceReferences, 1); // the device is referenced while the item is out
    // The item can be queued again once its routine has run.
    KeClearEvent(&seen.done);
    IoQueueWorkItem(item, RecordWork, DelayedWorkQueue, &seen);
    KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);
    for (int i = 0; i < 1000 && ReferencesOf(&device) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(ReferencesOf(&device), 0);
    IoFreeWorkItem(item);
}

VOID Nothing(PDEVICE_OBJECT, PVOID) {}

class SimWorkItemDeath : public SimMdlDeath {};

TEST_F(SimWorkItemDeath, QueueingAnItemThatIsStillQueuedStops) {
    EXPECT_DEATH(
        {
            static DEVICE_OBJECT device{};
            sim::kernel::PauseSystemWorkers pause;
            PIO_WORKITEM item = IoAllocateWorkItem(&device);
            IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
            IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
        },
        "work item queued while already queued");
}

TEST_F(SimWorkItemDeath, FreeingAnItemThatIsStillQueuedStops) {
    EXPECT_DEATH(
        {
            static DEVICE_OBJECT device{};
            sim::kernel::PauseSystemWorkers pause;
            PIO_WORKITEM item = IoAllocateWorkItem(&device);
            IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
            IoFreeWorkItem(item);
        },
        "work item freed while queued");
}

VOID ReturnAtDispatch(PDEVICE_OBJECT, PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

TEST_F(SimWorkItemDeath, ARoutineThatReturnsAtRaisedIrqlStops) {
    EXPECT_DEATH(
        {
            static DEVICE_OBJECT device{};
            IoQueueWorkItem(IoAllocateWorkItem(&device), ReturnAtDispatch, DelayedWorkQueue,
                            nullptr);
            std::this_thread::sleep_for(std::chrono::seconds(5));
        },
        "work item returned at raised IRQL");
}

// Framework work items.
struct FrameworkWork {
    std::atomic<int> runs{0};
    std::atomic<bool> release{false};
    KIRQL irql = 0xFF;
    WDFOBJECT parent = nullptr;
    bool finished = false;
};
FrameworkWork* g_work = nullptr;

VOID CountRun(WDFWORKITEM WorkItem) {
    g_work->irql = KeGetCurrentIrql();
    g_work->parent = WdfWorkItemGetParentObject(WorkItem);
    while (!g_work->release) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    g_work->runs++;
    g_work->finished = true;
}

class SimFrameworkWorkItem : public quillex_test::DriverTest {
  protected:
    void SetUp() override { g_work = &work_; }
    WDFWORKITEM Create(WDFDEVICE parent) {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, CountRun);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = parent;
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
        return item;
    }
    FrameworkWork work_;
};

TEST_F(SimFrameworkWorkItem, EnqueuesWhileQueuedFoldIntoOneRunAtPassiveLevel) {
    WDFDEVICE device = quillex_test::CreateStandInDevice(WDF_NO_OBJECT_ATTRIBUTES);
    WDFWORKITEM item = Create(device);
    {
        sim::kernel::PauseSystemWorkers pause;
        sim::kernel::ScopedIrql dispatch(DISPATCH_LEVEL);
        WdfWorkItemEnqueue(item);
        WdfWorkItemEnqueue(item);
        WdfWorkItemEnqueue(item);
    }
    work_.release = true;
    WdfWorkItemFlush(item);
    EXPECT_EQ(work_.runs, 1);
    EXPECT_EQ(work_.irql, PASSIVE_LEVEL);
    EXPECT_EQ(work_.parent, device);

    WdfObjectDelete(device);
}

TEST_F(SimFrameworkWorkItem, DeletingTheParentWaitsForARunningCallback) {
    WDFDEVICE device = quillex_test::CreateStandInDevice(WDF_NO_OBJECT_ATTRIBUTES);
    WDFWORKITEM item = Create(device);
    WdfWorkItemEnqueue(item);
    std::thread releaser([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        work_.release = true;
    });
    WdfObjectDelete(device);
    EXPECT_TRUE(work_.finished);
    releaser.join();
}

class SimFrameworkWorkItemDeath : public SimFrameworkWorkItem {
  protected:
    void SetUp() override {
        SimFrameworkWorkItem::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

TEST_F(SimFrameworkWorkItemDeath, AParentThatIsNotADeviceOrAQueueStops) {
    EXPECT_DEATH(
        {
            WDFOBJECT plain = nullptr;
            WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &plain);
            Create(static_cast<WDFDEVICE>(plain));
        },
        "work item parent must be a device or a queue");
}

VOID FlushSelf(WDFWORKITEM WorkItem) {
    WdfWorkItemFlush(WorkItem);
}

TEST_F(SimFrameworkWorkItemDeath, FlushingFromItsOwnCallbackStops) {
    EXPECT_DEATH(
        {
            WDF_WORKITEM_CONFIG config;
            WDF_WORKITEM_CONFIG_INIT(&config, FlushSelf);
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.ParentObject = quillex_test::CreateStandInDevice(WDF_NO_OBJECT_ATTRIBUTES);
            WDFWORKITEM item = nullptr;
            WdfWorkItemCreate(&config, &attributes, &item);
            WdfWorkItemEnqueue(item);
            std::this_thread::sleep_for(std::chrono::seconds(5));
        },
        "work item flushed from its own callback");
}

} // namespace

// Kernel mutex, events and waits, and the IRQL rules around them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/core/fault.h"
#include "sim/kernel/thread_state.h"
#include "tests/support/relative_time.h"

namespace {

using quillex_test::RelativeMs;

TEST(KernelMutex, OwnerMayReacquireAndReleaseReportsWhenItIsFree) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, TRUE, nullptr), STATUS_SUCCESS);
    // Still held once: the release does not leave it signalled.
    EXPECT_NE(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST(KernelMutex, AnotherThreadBlocksUntilTheOwnerReleases) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        LARGE_INTEGER shortWait = RelativeMs(20);
        EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &shortWait),
                  STATUS_TIMEOUT);
        EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        acquired = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_FALSE(acquired.load());
    KeReleaseMutex(&mutex, FALSE);
    other.join();
    EXPECT_TRUE(acquired.load());
}

TEST(KernelMutex, AnInjectedAlertEndsTheWaitWithoutTheMutex) {
    sim::fault::Scope faults;
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    sim::fault::FailNthCall("KeWaitForSingleObject", 1, STATUS_ALERTED);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, TRUE, nullptr), STATUS_ALERTED);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST(KernelEvents, SynchronizationEventWakesOneWaitAndResets) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER zero = RelativeMs(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST(KernelEvents, NotificationEventStaysSignalledUntilReset) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER zero = RelativeMs(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST(KernelWaits, WaitAnyReturnsTheFirstSignalledObjectInArrayOrder) {
    KEVENT stop, data;
    KeInitializeEvent(&stop, SynchronizationEvent, FALSE);
    KeInitializeEvent(&data, SynchronizationEvent, FALSE);
    PVOID objects[2] = {&stop, &data};
    KeSetEvent(&data, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                       nullptr),
              STATUS_WAIT_1);
    KeSetEvent(&data, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                       nullptr),
              STATUS_WAIT_0);
    // Only the satisfied object was reset.
    EXPECT_EQ(KeReadStateEvent(&data), 1);
    LARGE_INTEGER timeout = RelativeMs(10);
    KeResetEvent(&data);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout,
                                       nullptr),
              STATUS_TIMEOUT);
}

TEST(KernelWaits, ARelativeTimeoutWaitsAboutThatLong) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout = RelativeMs(30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(KernelWaits, ASignalFromAnotherThreadEndsAnUnboundedWait) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    setter.join();
}

TEST(KernelIrql, SpinLockRaisesToDispatchAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

void PageableRoutine() {
    PAGED_CODE();
}

TEST(KernelIrqlDeathTest, PagedCodeAtDispatchStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PageableRoutine(); // fine at PASSIVE_LEVEL
    EXPECT_DEATH(
        {
            sim::kernel::ScopedIrql raised(DISPATCH_LEVEL);
            PageableRoutine();
        },
        "paged code at raised IRQL.*\n.*PageableRoutine");
}

TEST(KernelIrqlDeathTest, MutexReleasedByAThreadThatDoesNotOwnItStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            std::thread other([&] { KeReleaseMutex(&mutex, FALSE); });
            other.join();
        },
        "mutex released by a thread that does not own it");
}

TEST(KernelIrqlDeathTest, ReleasingAMutexNobodyHoldsStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            KeReleaseMutex(&mutex, FALSE);
        },
        "mutex released by a thread that does not own it");
}

TEST(KernelIrqlDeathTest, BlockingWaitAtDispatchStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, TRUE);
            sim::kernel::ScopedIrql raised(DISPATCH_LEVEL);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "blocking wait at DISPATCH_LEVEL");
}

} // namespace

// Who a signal wakes: only the threads waiting on the signalled object, told
// after the dispatcher lock is released, with nothing lost when threads come
// and go and their sleepers are handed on.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sim/kernel/thread_state.h"
#include "tests/support/relative_time.h"

namespace {

using quillex_test::RelativeMs;

// Pairs of threads hand a token back and forth through synchronization
// events while short-lived threads keep starting and ending (handing their
// sleepers on). The answering side waits as the reader thread does, for any
// of a stop event and its own. A lost wake-up leaves a wait to time out.
TEST(KernelWakeups, PingPongAcrossManyPairsLosesNoWakeUp) {
    constexpr int kPairs = 6;
    constexpr int kRounds = 1500;
    struct Pair {
        KEVENT stop, ping, pong;
        std::atomic<int> timeouts{0};
    };
    std::vector<Pair> pairs(kPairs);
    for (Pair& p : pairs) {
        KeInitializeEvent(&p.stop, NotificationEvent, FALSE);
        KeInitializeEvent(&p.ping, SynchronizationEvent, FALSE);
        KeInitializeEvent(&p.pong, SynchronizationEvent, FALSE);
    }
    std::atomic<bool> churn{true};
    std::thread churner([&] {
        KEVENT idle;
        KeInitializeEvent(&idle, NotificationEvent, FALSE);
        while (churn.load()) {
            std::thread brief([&] {
                LARGE_INTEGER tick = RelativeMs(1);
                KeWaitForSingleObject(&idle, Executive, KernelMode, FALSE, &tick);
            });
            brief.join();
        }
    });
    std::vector<std::thread> threads;
    for (Pair& p : pairs) {
        threads.emplace_back([&p] {
            for (int i = 0; i < kRounds; ++i) {
                KeSetEvent(&p.ping, IO_NO_INCREMENT, FALSE);
                LARGE_INTEGER limit = RelativeMs(10000);
                if (KeWaitForSingleObject(&p.pong, Executive, KernelMode, FALSE, &limit) !=
                    STATUS_SUCCESS) {
                    ++p.timeouts;
                    return;
                }
            }
        });
        threads.emplace_back([&p] {
            PVOID objects[2] = {&p.stop, &p.ping};
            for (int i = 0; i < kRounds; ++i) {
                LARGE_INTEGER limit = RelativeMs(10000);
                if (KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, TRUE,
                                             &limit, nullptr) != STATUS_WAIT_1) {
                    ++p.timeouts;
                    return;
                }
                KeSetEvent(&p.pong, IO_NO_INCREMENT, FALSE);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    churn = false;
    churner.join();
    for (Pair& p : pairs) {
        EXPECT_EQ(p.timeouts.load(), 0);
    }
}

// Signalling one object satisfies its own waiter and no other: a waiter on
// another event, woken by nothing, is still waiting, and a waiter on a
// released mutex gets the mutex.
TEST(KernelWakeups, ASignalEndsOnlyTheWaitsOnThatObject) {
    KEVENT first, second;
    KMUTEX mutex;
    KeInitializeEvent(&first, NotificationEvent, FALSE);
    KeInitializeEvent(&second, NotificationEvent, FALSE);
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);

    std::atomic<NTSTATUS> onFirst{STATUS_PENDING}, onSecond{STATUS_PENDING},
        onMutex{STATUS_PENDING};
    std::atomic<int> waiting{0};
    auto waitOn = [&](PVOID object, std::atomic<NTSTATUS>* result, bool release) {
        return std::thread([&waiting, object, result, release] {
            ++waiting;
            LARGE_INTEGER limit = RelativeMs(10000);
            *result = KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &limit);
            if (release && *result == STATUS_SUCCESS) {
                KeReleaseMutex(static_cast<PRKMUTEX>(object), FALSE);
            }
        });
    };
    std::thread a = waitOn(&first, &onFirst, false);
    std::thread b = waitOn(&second, &onSecond, false);
    std::thread c = waitOn(&mutex, &onMutex, true);
    while (waiting.load() < 3) {
        std::this_thread::yield();
    }

    KeSetEvent(&first, IO_NO_INCREMENT, FALSE);
    a.join();
    EXPECT_EQ(onFirst.load(), STATUS_SUCCESS);
    KeReleaseMutex(&mutex, FALSE);
    c.join();
    EXPECT_EQ(onMutex.load(), STATUS_SUCCESS);
    EXPECT_EQ(onSecond.load(), STATUS_PENDING);

    KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
    b.join();
    EXPECT_EQ(onSecond.load(), STATUS_SUCCESS);
}

// An alert finds its thread whatever object it waits on.
TEST(KernelWakeups, AnAlertReachesAThreadWaitingOnAnObjectNobodySignals) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    std::atomic<PKTHREAD> waiter{nullptr};
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread t([&] {
        waiter = KeGetCurrentThread();
        LARGE_INTEGER limit = RelativeMs(10000);
        result = KeWaitForSingleObject(&never, Executive, KernelMode, TRUE, &limit);
    });
    while (waiter.load() == nullptr) {
        std::this_thread::yield();
    }
    // Setting an unrelated event wakes nobody; the alert does.
    KEVENT unrelated;
    KeInitializeEvent(&unrelated, NotificationEvent, FALSE);
    KeSetEvent(&unrelated, IO_NO_INCREMENT, FALSE);
    sim::kernel::AlertThread(waiter.load());
    t.join();
    EXPECT_EQ(result.load(), STATUS_ALERTED);
}

} // namespace

// The driver's CPU time: its system threads on their own clocks, counted
// while they run and after they have ended.
#include <gtest/gtest.h>

#include "sim/kernel/cpu_time.h"
#include "sim/kernel/system_thread.h"

namespace {

constexpr int64_t kBurnNanos = 30 * 1000 * 1000;

struct Burn {
    int64_t used = 0;
};

VOID BurnsItsOwnCpu(PVOID context) {
    auto* burn = static_cast<Burn*>(context);
    int64_t started = sim::kernel::cpu::ThisThreadNanos();
    volatile uint64_t spin = 0;
    while (sim::kernel::cpu::ThisThreadNanos() - started < kBurnNanos) {
        ++spin;
    }
    burn->used = sim::kernel::cpu::ThisThreadNanos() - started;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(CpuTime, ASystemThreadsCpuIsCountedAfterItHasEnded) {
    int64_t before = sim::kernel::cpu::SystemThreadNanos();
    Burn burn;
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   BurnsItsOwnCpu, &burn),
              STATUS_SUCCESS);
    ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
    ZwClose(handle);
    ASSERT_GE(burn.used, kBurnNanos);
    // The caller's own CPU is not in it: only what the system thread used.
    int64_t counted = sim::kernel::cpu::SystemThreadNanos() - before;
    EXPECT_GE(counted, burn.used);
    EXPECT_LT(counted, burn.used + kBurnNanos);
}

} // namespace

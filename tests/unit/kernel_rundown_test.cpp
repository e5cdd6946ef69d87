// Rundown protection: holders at up to DISPATCH_LEVEL, one rundown that
// waits them out and refuses new ones, and the rules the verifier holds it to.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/core/race.h"
#include "sim/kernel/thread_state.h"

namespace {

TEST(KernelRundown, TheRundownWaitsForEveryHolderAndRefusesNewOnes) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    {
        sim::kernel::ScopedIrql raised(DISPATCH_LEVEL); // as a cancel routine holds it
        ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    }

    sim::race::Pause waiting(sim::race::kRundownWaiting, &ref, sim::race::Pause::Note);
    std::atomic<bool> ranDown{false};
    std::thread rundown([&] {
        ExWaitForRundownProtectionRelease(&ref);
        ranDown = true;
    });
    ASSERT_TRUE(waiting.WaitHit());
    EXPECT_FALSE(ExAcquireRundownProtection(&ref)) << "a holder came in during the rundown";
    ExReleaseRundownProtection(&ref);
    EXPECT_FALSE(ranDown) << "the rundown ended with a holder still in";
    {
        sim::kernel::ScopedIrql raised(DISPATCH_LEVEL);
        ExReleaseRundownProtection(&ref);
    }
    rundown.join();
    EXPECT_TRUE(ranDown);

    // Run down, it stays so: new holders are refused, a second rundown ends
    // at once, and only reinitializing lets holders in again.
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));
    ExWaitForRundownProtectionRelease(&ref);
    ExReInitializeRundownProtection(&ref);
    EXPECT_TRUE(ExAcquireRundownProtection(&ref));
    ExReleaseRundownProtection(&ref);
    ExWaitForRundownProtectionRelease(&ref); // no holder: no wait
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));
}

TEST(KernelRundownDeathTest, MisuseStopsWithItsRule) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            EX_RUNDOWN_REF ref;
            ExInitializeRundownProtection(&ref);
            ExReleaseRundownProtection(&ref);
        },
        "rundown protection released more often than it was acquired");
    EXPECT_DEATH(
        {
            EX_RUNDOWN_REF ref;
            ExInitializeRundownProtection(&ref);
            ExWaitForRundownProtectionRelease(&ref);
            ExReleaseRundownProtection(&ref);
        },
        "rundown protection released more often than it was acquired");
    EXPECT_DEATH(
        {
            EX_RUNDOWN_REF ref;
            ExInitializeRundownProtection(&ref);
            ExAcquireRundownProtection(&ref);
            ExReInitializeRundownProtection(&ref);
        },
        "rundown protection reinitialized before its rundown ended");
    EXPECT_DEATH(
        {
            EX_RUNDOWN_REF ref;
            ExInitializeRundownProtection(&ref);
            ExAcquireRundownProtection(&ref);
            sim::race::Pause waiting(sim::race::kRundownWaiting, &ref, sim::race::Pause::Note);
            std::thread first([&] { ExWaitForRundownProtectionRelease(&ref); });
            waiting.WaitHit();
            ExWaitForRundownProtectionRelease(&ref);
        },
        "rundown protection waited for by two threads at once");
    EXPECT_DEATH(
        {
            EX_RUNDOWN_REF ref;
            ExInitializeRundownProtection(&ref);
            sim::kernel::ScopedIrql raised(DISPATCH_LEVEL);
            ExWaitForRundownProtectionRelease(&ref);
        },
        "service called above its IRQL\n  where:  ExWaitForRundownProtectionRelease");
    EXPECT_DEATH(
        {
            EX_RUNDOWN_REF ref;
            ExInitializeRundownProtection(&ref);
            sim::kernel::ScopedIrql raised(HIGH_LEVEL);
            ExAcquireRundownProtection(&ref);
        },
        "service called above its IRQL");
}

} // namespace

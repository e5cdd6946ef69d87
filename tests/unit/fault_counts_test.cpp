// Fault injection's bookkeeping: every call counted under its service's
// name, from any number of threads, and arming taking hold at once.
#include <gtest/gtest.h>
#include <string.h>

#include <thread>
#include <vector>

#include "ntddk.h"
#include "sim/core/fault.h"

namespace {

TEST(FaultCounts, CallsFromManyThreadsAreAllCounted) {
    sim::fault::Scope faults;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i) {
                EXPECT_FALSE(sim::fault::ShouldFail("TestServiceCounted", nullptr));
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(sim::fault::CallCount("TestServiceCounted"), 16000u);
}

// A name is found again by its address; an address that now holds another
// name counts for that other name.
TEST(FaultCounts, ANameIsCountedByItsTextNotItsAddress) {
    sim::fault::Scope faults;
    char name[32];
    strcpy(name, "TestServiceFirst");
    EXPECT_FALSE(sim::fault::ShouldFail(name, nullptr));
    strcpy(name, "TestServiceSecond");
    EXPECT_FALSE(sim::fault::ShouldFail(name, nullptr));
    EXPECT_FALSE(sim::fault::ShouldFail(name, nullptr));
    EXPECT_EQ(sim::fault::CallCount("TestServiceFirst"), 1u);
    EXPECT_EQ(sim::fault::CallCount("TestServiceSecond"), 2u);
}

// Arming after the service has been called (and its record cached) counts
// from the arming; a reset disarms and zeroes.
TEST(FaultCounts, ArmingAfterCallsCountsFromTheArming) {
    sim::fault::Scope faults;
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(sim::fault::ShouldFail("TestServiceArmed", nullptr));
    }
    sim::fault::FailNthCall("TestServiceArmed", 2, STATUS_INSUFFICIENT_RESOURCES);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(sim::fault::ShouldFail("TestServiceArmed", &status));
    EXPECT_TRUE(sim::fault::ShouldFail("TestServiceArmed", &status));
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(sim::fault::ShouldFail("TestServiceArmed", &status));

    sim::fault::FailFromNthCall("TestServiceArmed", 1, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::fault::ShouldFail("TestServiceArmed", &status));
    EXPECT_TRUE(sim::fault::ShouldFail("TestServiceArmed", &status));
    sim::fault::Reset();
    EXPECT_FALSE(sim::fault::ShouldFail("TestServiceArmed", &status));
    EXPECT_EQ(sim::fault::CallCount("TestServiceArmed"), 1u);
}

} // namespace

// Device-owned buffers: zeroed, tagged "TrvX", released once however often
// the release runs, and cleared on failure.
#include <gtest/gtest.h>

#include "platform/memory_buffer.h"
#include "sim/kernel/pool.h"
#include "sim/wdf/memory.h"
#include "tests/support/sim_fixture.h"

namespace {

using MemoryBufferTest = quillex_test::DriverTest;

TEST_F(MemoryBufferTest, AllocationIsZeroedNonPagedTaggedAndExactlySized) {
    quillex_test::ContextHolder owner(driver_.Handle());
    MEMORY_BUFFER pair;
    memset(&pair, 0xCC, sizeof(pair));
    ASSERT_EQ(QuillexAllocMemory(owner.Owner(), &pair, 37), STATUS_SUCCESS);
    ASSERT_NE(pair.Memory, nullptr);
    ASSERT_NE(pair.Buffer, nullptr);
    EXPECT_EQ(pair.Size, 37u);

    size_t size = 0;
    EXPECT_EQ(WdfMemoryGetBuffer(pair.Memory, &size), pair.Buffer);
    EXPECT_EQ(size, 37u);
    for (size_t i = 0; i < size; ++i) {
        EXPECT_EQ(static_cast<UCHAR*>(pair.Buffer)[i], 0) << "byte " << i;
    }
    sim::wdf::MemoryInfo info = sim::wdf::DescribeMemory(pair.Memory);
    EXPECT_EQ(info.poolType, NonPagedPool);
    // The tag reads "TrvX" in memory order.
    EXPECT_EQ(memcmp(&info.poolTag, "TrvX", 4), 0);
    EXPECT_EQ(QuillexReleaseMemory(&pair), STATUS_SUCCESS);
}

TEST_F(MemoryBufferTest, BadArgumentsAreRefusedAndLeaveThePairAlone) {
    quillex_test::ContextHolder owner(driver_.Handle());
    MEMORY_BUFFER pair;
    memset(&pair, 0xAB, sizeof(pair));
    MEMORY_BUFFER before = pair;
    EXPECT_EQ(QuillexAllocMemory(owner.Owner(), &pair, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(memcmp(&pair, &before, sizeof(pair)), 0);
    EXPECT_EQ(QuillexAllocMemory(owner.Owner(), nullptr, 16), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(QuillexReleaseMemory(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(MemoryBufferTest, ReleasingTwiceDeletesTheMemoryObjectOnce) {
    quillex_test::ContextHolder owner(driver_.Handle());
    size_t tagged = sim::pool::OutstandingBlocks(QUILLEX_POOL_TAG);
    MEMORY_BUFFER pair;
    ASSERT_EQ(QuillexAllocMemory(owner.Owner(), &pair, 8), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::OutstandingBlocks(QUILLEX_POOL_TAG), tagged + 1);
    size_t live = sim::wdf::LiveObjectCount();
    EXPECT_EQ(QuillexReleaseMemory(&pair), STATUS_SUCCESS);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), live - 1);
    EXPECT_EQ(pair.Memory, nullptr);
    EXPECT_EQ(pair.Buffer, nullptr);
    EXPECT_EQ(pair.Size, 0u);
    // Nothing is left to delete: a second delete of the same handle would stop
    // the verifier.
    EXPECT_EQ(QuillexReleaseMemory(&pair), STATUS_SUCCESS);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), live - 1);
    EXPECT_EQ(sim::pool::OutstandingBlocks(QUILLEX_POOL_TAG), tagged);
}

TEST_F(MemoryBufferTest, AFailedCreateReturnsItsStatusWithThePairCleared) {
    quillex_test::ContextHolder owner(driver_.Handle());
    MEMORY_BUFFER pair;
    memset(&pair, 0xAB, sizeof(pair));
    sim::fault::FailNthCall("WdfMemoryCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(QuillexAllocMemory(owner.Owner(), &pair, 64), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pair.Memory, nullptr);
    EXPECT_EQ(pair.Buffer, nullptr);
    EXPECT_EQ(pair.Size, 0u);
    // Only the armed call fails.
    EXPECT_EQ(QuillexAllocMemory(owner.Owner(), &pair, 64), STATUS_SUCCESS);
    EXPECT_EQ(sim::fault::CallCount("WdfMemoryCreate"), 2u);
}

TEST_F(MemoryBufferTest, TheOwnerFreesWhatIsLeftWhenItIsDeleted) {
    size_t tagged = sim::pool::OutstandingBlocks(QUILLEX_POOL_TAG);
    {
        quillex_test::ContextHolder owner(driver_.Handle());
        MEMORY_BUFFER a, b;
        ASSERT_EQ(QuillexAllocMemory(owner.Owner(), &a, 10), STATUS_SUCCESS);
        ASSERT_EQ(QuillexAllocMemory(owner.Owner(), &b, 20), STATUS_SUCCESS);
        EXPECT_EQ(sim::pool::OutstandingBlocks(QUILLEX_POOL_TAG), tagged + 2);
    }
    EXPECT_EQ(sim::pool::OutstandingBlocks(QUILLEX_POOL_TAG), tagged);
}

} // namespace

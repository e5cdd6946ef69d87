// Memory as the special pool and the I/O manager present it: guard bytes
// after every block, freed blocks poisoned and watched, MDL mappings used in
// order, and a buffered request's system buffer that holds stale bytes and
// gives back no more than the caller's buffer.
#include <gtest/gtest.h>

#include <vector>

#include "ntddk.h"
#include "sim/kernel/pool.h"
#include "tests/support/guard_report.h"

namespace {

constexpr ULONG kTag = 'tseT';

// Under AddressSanitizer the simulator hands freed pool straight back, so that
// ASan's own quarantine sees, and reports first, every use after a free: the
// simulator's quarantine that these tests check is not there then.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOL_QUARANTINE_OFF 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define POOL_QUARANTINE_OFF 1
#endif
#ifdef POOL_QUARANTINE_OFF
#define SKIP_WITHOUT_POOL_QUARANTINE()                                                             \
    GTEST_SKIP() << "AddressSanitizer keeps the quarantine of freed pool in this build"
#else
#define SKIP_WITHOUT_POOL_QUARANTINE()                                                             \
    do {                                                                                           \
    } while (0)
#endif

class SimPoolDeath : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Pool is not zeroed: a new block holds what the pool held before, here a
// pattern, so that reading a field never written gives garbage as on Windows.
// ExAllocatePool2 is the one allocator that zeroes.
TEST(SimPool, NewBlocksHoldAPatternOnlyExAllocatePool2Zeroes) {
    for (POOL_TYPE type : {NonPagedPool, PagedPool}) {
        auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(type, 40, kTag));
        ASSERT_NE(block, nullptr);
        for (size_t i = 0; i < 40; ++i) {
            ASSERT_EQ(block[i], sim::pool::kAllocatedFill) << "byte " << i;
        }
        ExFreePoolWithTag(block, kTag);
    }
    auto* zeroed = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 40, kTag));
    ASSERT_NE(zeroed, nullptr);
    for (size_t i = 0; i < 40; ++i) {
        ASSERT_EQ(zeroed[i], 0) << "byte " << i;
    }
    ExFreePoolWithTag(zeroed, kTag);
}

TEST(SimPool, FreedBlocksArePoisonedAndKnownAsFreed) {
    SKIP_WITHOUT_POOL_QUARANTINE();
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 24, kTag));
    ASSERT_NE(block, nullptr);
    RtlFillMemory(block, 24, 0x11); // every byte of the block is the caller's
    EXPECT_FALSE(sim::pool::IsFreed(block));
    ExFreePoolWithTag(block, kTag);
    EXPECT_TRUE(sim::pool::IsFreed(block));
    EXPECT_TRUE(sim::pool::IsFreed(block + 23));
    EXPECT_FALSE(sim::pool::IsFreed(block + 24));
    EXPECT_EQ(block[0], sim::pool::kFreedFill);
    EXPECT_EQ(block[23], sim::pool::kFreedFill);
    sim::pool::CheckFreedBlocks(); // untouched since: passes, and lets them go
    EXPECT_FALSE(sim::pool::IsFreed(block));
}

TEST_F(SimPoolDeath, AWritePastTheEndOfABlockStopsWhenItIsFreed) {
    EXPECT_DEATH(
        {
            auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 20, kTag));
            block[20] = 0; // one byte past
            ExFreePoolWithTag(block, kTag);
        },
        GUARD_OVERRUN_REPORT(
            "pool block overrun(.|\n)*of 20 bytes was written 1 byte\\(s\\) past its end"));
}

TEST_F(SimPoolDeath, AWriteIntoAFreedBlockStopsWhenTheBlockLeavesQuarantine) {
    SKIP_WITHOUT_POOL_QUARANTINE();
    EXPECT_DEATH(
        {
            auto* block = static_cast<ULONG*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
            ExFreePoolWithTag(block, kTag);
            InterlockedIncrement(reinterpret_cast<volatile LONG*>(block + 2));
            sim::pool::CheckFreedBlocks();
        },
        "freed pool block written after it was freed(.|\n)*written at offset 8");
}

TEST_F(SimPoolDeath, ASpinLockInFreedPoolStops) {
    SKIP_WITHOUT_POOL_QUARANTINE();
    EXPECT_DEATH(
        {
            auto* lock = static_cast<PKSPIN_LOCK>(
                ExAllocatePoolWithTag(NonPagedPool, sizeof(KSPIN_LOCK), kTag));
            KeInitializeSpinLock(lock);
            ExFreePoolWithTag(lock, kTag);
            KIRQL irql;
            KeAcquireSpinLock(lock, &irql);
        },
        "freed pool memory used(.|\n)*spin lock .* lies in a pool block that was freed");
}

TEST_F(SimPoolDeath, MdlMappingsAreMadeOnceAndOnlyOfLockedPages) {
    EXPECT_DEATH(
        {
            static UCHAR buffer[64];
            PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
            MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                         NormalPagePriority);
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                         NormalPagePriority);
        },
        "MDL used out of order(.|\n)*is already mapped");
    EXPECT_DEATH(
        {
            static UCHAR buffer[64];
            PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
            mdl->MdlFlags |= MDL_PARTIAL;
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                         NormalPagePriority);
        },
        "MDL used out of order(.|\n)*an unlocked partial MDL");
}

// A buffered device-control request answered by a driver that reports what
// it found past the input and claims 'g_information' bytes.
ULONG_PTR g_information = 0;
std::vector<UCHAR> g_seen;

NTSTATUS AnswerBuffered(PDEVICE_OBJECT, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* system = static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    ULONG size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    g_seen.assign(system, system + size);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = g_information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

struct BufferedDevice {
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};
    BufferedDevice() {
        device.DriverObject = &driver;
        device.StackSize = 1;
        driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = AnswerBuffered;
    }
    IO_STATUS_BLOCK Send(const void* input, ULONG inputLength, void* output, ULONG outputLength) {
        IO_STATUS_BLOCK iosb{};
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
        PIRP irp =
            IoBuildDeviceIoControlRequest(code, &device, const_cast<void*>(input), inputLength,
                                          output, outputLength, FALSE, &done, &iosb);
        IoCallDriver(&device, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return iosb;
    }
};

TEST(SimSystemBuffer, HoldsStaleBytesPastTheInputAndGivesBackInformationBytes) {
    BufferedDevice d;
    const UCHAR input[2] = {1, 2};
    std::vector<UCHAR> output(8, 0x33);
    g_information = 4;
    IO_STATUS_BLOCK iosb = d.Send(input, sizeof(input), output.data(), 8);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    ASSERT_EQ(g_seen.size(), 8u);
    EXPECT_EQ(g_seen[0], 1);
    EXPECT_EQ(g_seen[1], 2);
    for (size_t i = 2; i < 8; ++i) {
        EXPECT_NE(g_seen[i], 0) << "byte " << i << " reads as zeroed memory";
    }
    // Four bytes come back (the input the driver left, then stale bytes); the
    // rest of the caller's buffer is untouched.
    EXPECT_EQ(output[0], 1);
    EXPECT_EQ(output[1], 2);
    EXPECT_EQ(output[3], g_seen[3]);
    EXPECT_EQ(output[4], 0x33);
    EXPECT_EQ(output[7], 0x33);
}

TEST_F(SimPoolDeath, InformationBeyondTheOutputBufferStops) {
    EXPECT_DEATH(
        {
            BufferedDevice d;
            UCHAR output[8];
            g_information = 9;
            d.Send(nullptr, 0, output, sizeof(output));
        },
        "Information larger than the request's output buffer(.|\n)*Information 9 for an output "
        "buffer of 8 bytes");
}

} // namespace
